// Socket addresses from their text.
#include "address.h"

#include <string.h>

#ifdef _WIN32
#include <ws2tcpip.h>
#endif

namespace simplatform {
namespace {

constexpr unsigned long kMaxPort = 65535;

std::string noValidPort(const std::string& text)
{
    return "\"" + text + "\" has no valid port (0 to " + std::to_string(kMaxPort) + ")";
}

// The port of "host:port" text: digits only, at most kMaxPort.
bool parsePort(const std::string& port, unsigned long& number)
{
    number = 0;
    if (port.empty() || port.size() > std::to_string(kMaxPort).size()) {
        return false;
    }
    for (char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    return number <= kMaxPort;
}

}  // namespace

bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "\"" + text + "\" is not host:port";
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.empty()) {
        error = "\"" + text + "\" has no host";
        return false;
    }
    unsigned long port = 0;
    if (!parsePort(text.substr(colon + 1), port)) {
        error = noValidPort(text);
        return false;
    }

    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    startSockets();
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        error = "cannot resolve host \"" + host + "\"";
        return false;
    }
    addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

bool parseSocketAddress(const std::string& text, sockaddr_storage& addr, SockLen& length, std::string& error)
{
    memset(&addr, 0, sizeof addr);
    size_t close = text.find("]:");
    if (text.empty() || text[0] != '[' || close == std::string::npos) {
        sockaddr_in v4{};
        if (!parseHostPort(text, v4, error)) {
            return false;
        }
        memcpy(&addr, &v4, sizeof v4);
        length = static_cast<SockLen>(sizeof v4);
        return true;
    }
    // "[IPv6]:port": the port is checked as parseHostPort checks it.
    unsigned long port = 0;
    if (!parsePort(text.substr(close + 2), port)) {
        error = noValidPort(text);
        return false;
    }
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    startSockets();
    if (inet_pton(AF_INET6, text.substr(1, close - 1).c_str(), &v6.sin6_addr) != 1) {
        error = "\"" + text + "\" has no valid IPv6 address";
        return false;
    }
    memcpy(&addr, &v6, sizeof v6);
    length = static_cast<SockLen>(sizeof v6);
    return true;
}

HostAddress hostAddressOf(const sockaddr_storage& address)
{
    HostAddress host;
    if (address.ss_family == AF_INET) {
        host.family = AF_INET;
        memcpy(host.bytes.data(), &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const uint8_t*>(
            &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
        // ::ffff:a.b.c.d
        static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (memcmp(v6, kMappedPrefix, sizeof kMappedPrefix) == 0) {
            host.family = AF_INET;
            memcpy(host.bytes.data(), v6 + 12, 4);
        } else {
            host.family = AF_INET6;
            memcpy(host.bytes.data(), v6, 16);
        }
    }
    return host;
}

bool isLoopback(const HostAddress& host)
{
    if (host.family == AF_INET) {
        return host.bytes[0] == 127;
    }
    if (host.family == AF_INET6) {
        static const std::array<uint8_t, 16> kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return host.bytes == kLoopback6;
    }
    return true;
}

}  // namespace simplatform
