// Socket addresses from their text: "host:port" and "[IPv6]:port"; the
// host of a peer's address, to tell peers apart.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "socket.h"

namespace simplatform {

// Parses "host:port" (host a dotted IPv4 address or a name the operating
// system resolves) into addr; on failure false and a reason in error.
bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error);
// The same, and also "[IPv6 address]:port"; length is the address's size.
bool parseSocketAddress(const std::string& text, sockaddr_storage& addr, SockLen& length, std::string& error);

// The host of a socket address, without its port: IPv4 (an IPv4-mapped
// IPv6 address is the IPv4 one, as a dual-stack socket shows IPv4 peers),
// IPv6, or none (family 0: a local socket, or a family without hosts).
struct HostAddress {
    int family = 0;
    std::array<uint8_t, 16> bytes{};  // the address, IPv4 in the first 4

    bool operator==(const HostAddress& other) const { return family == other.family && bytes == other.bytes; }
    bool operator!=(const HostAddress& other) const { return !(*this == other); }
};
HostAddress hostAddressOf(const sockaddr_storage& address);
// On this machine: 127.0.0.0/8, ::1, or no host (a local socket).
bool isLoopback(const HostAddress& host);

}  // namespace simplatform
