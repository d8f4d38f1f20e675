// Socket addresses from their text: "host:port" and "[IPv6]:port".
#pragma once

#include <string>

#include "socket.h"

namespace simplatform {

// Parses "host:port" (host a dotted IPv4 address or a name the operating
// system resolves) into addr; on failure false and a reason in error.
bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error);
// The same, and also "[IPv6 address]:port"; length is the address's size.
bool parseSocketAddress(const std::string& text, sockaddr_storage& addr, SockLen& length, std::string& error);

}  // namespace simplatform
