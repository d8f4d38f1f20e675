// The socket layer shared by the message loop and every port.
#pragma once

#include <string>

#include "../platform/sockets.h"

namespace simplatform {

#ifdef _WIN32
using Socket = SOCKET;
#else
using Socket = int;
#endif

// Parses "host:port" (host a dotted IPv4 address or a name the operating
// system resolves) into addr; on failure false and a reason in error.
bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error);
// The same, and also "[IPv6 address]:port"; length is the address's size.
bool parseSocketAddress(const std::string& text, sockaddr_storage& addr, int& length, std::string& error);

}  // namespace simplatform
