// Local (Unix-domain) sockets: a listener at a path in the file system, and
// one datagram sent to a local socket. POSIX only.
#pragma once

#ifndef _WIN32

#include <cstddef>
#include <string>

#include "socket.h"

namespace simplatform {

// The file a local listener made, to remove that one and no other.
struct LocalName {
    std::string path;
    unsigned long long device = 0;
    unsigned long long inode = 0;
};
// A listening local stream socket at path, mode 0660. A socket left there
// by a program that has ended is replaced; anything else at path (a file, a
// link, a live socket) is refused with the reason.
Socket listenLocal(const std::string& path, int backlog, LocalName& name, std::string& error);
// Removes the file of a local listener, unless something else took its place.
void removeLocal(const LocalName& name);
// Sends one datagram to the local datagram socket at path ('@' first: the
// name in the abstract namespace) without waiting: false and the reason
// when it cannot be sent now.
bool sendLocalDatagram(const std::string& path, const char* bytes, size_t count, std::string& error);

}  // namespace simplatform

#endif
