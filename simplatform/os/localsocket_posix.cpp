// Local (Unix-domain) sockets: listeners in the file system and datagrams
// to the service manager.
#include "localsocket.h"

#include <stddef.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace simplatform {
namespace {

// The address of path into address; false and the reason when it does not
// fit.
bool localAddress(const std::string& path, sockaddr_un& address, std::string& error)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "a local socket path must be 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return false;
    }
    memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// The reason of the last failure, read before closing s, which may change it.
void failAndClose(Socket s, std::string& error)
{
    error = lastSocketError();
    closeUnwatched(s);
}

// Makes room for a listener at path: nothing there, or a socket left by a
// program that ended without removing it (removed now). A socket that a
// running program answers on, or anything else, is refused.
bool clearLocalPath(const std::string& path, const sockaddr_un& address, std::string& error)
{
    struct stat st { };
    if (lstat(path.c_str(), &st) != 0) {
        return true;
    }
    if (!S_ISSOCK(st.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
    }
    Socket probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    bool answered = probe != kNoSocket &&
                    ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (probe != kNoSocket) {
        closeUnwatched(probe);
    }
    if (answered) {
        error = path + " is in use by a running program";
        return false;
    }
    unlink(path.c_str());
    return true;
}

}  // namespace

Socket listenLocal(const std::string& path, int backlog, LocalName& name, std::string& error)
{
    sockaddr_un address{};
    if (!localAddress(path, address, error) || !clearLocalPath(path, address, error)) {
        return kNoSocket;
    }
    // Created with mode 0660: the owner and the group may connect.
    mode_t mask = umask(0117);
    Socket s = listenStream(reinterpret_cast<const sockaddr*>(&address), sizeof address, backlog, error);
    umask(mask);
    if (s == kNoSocket) {
        return kNoSocket;
    }
    struct stat st { };
    if (chmod(path.c_str(), 0660) != 0 || lstat(path.c_str(), &st) != 0) {
        failAndClose(s, error);
        unlink(path.c_str());
        return kNoSocket;
    }
    name.path = path;
    name.device = st.st_dev;
    name.inode = st.st_ino;
    return s;
}

void removeLocal(const LocalName& name)
{
    // Only the file this listener made: another in its place since then is
    // left alone.
    struct stat there { };
    if (lstat(name.path.c_str(), &there) == 0 && there.st_dev == name.device && there.st_ino == name.inode) {
        unlink(name.path.c_str());
    }
}

bool sendLocalDatagram(const std::string& path, const char* bytes, size_t count, std::string& error)
{
    sockaddr_un address{};
    if (!localAddress(path, address, error)) {
        return false;
    }
    if (path[0] == '@') {
        address.sun_path[0] = '\0';
    }
    Socket s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (s == kNoSocket) {
        error = lastSocketError();
        return false;
    }
    // The abstract name's length is exact: it has no terminating NUL. A
    // peer that has gone must give an error, not SIGPIPE.
    auto length = static_cast<SockLen>(offsetof(sockaddr_un, sun_path) + path.size());
    if (!setNonBlocking(s) || ::sendto(s, bytes, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                                       length) != static_cast<ssize_t>(count)) {
        failAndClose(s, error);
        return false;
    }
    closeUnwatched(s);
    return true;
}

}  // namespace simplatform
