// The operating-system layer: socket addresses from their text, and the
// host of a peer's address.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "simplatform/os/address.h"

namespace {

// Both forms share one port rule; every fault names the text it refuses.
TEST(SocketAddress, FormsAndFaultsOfTheText)
{
    struct {
        const char* text;
        int family;  // 0: refused with fault
        unsigned port;
        const char* fault;
    } const cases[] = {
        {"127.0.0.1:162", AF_INET, 162, ""},
        {"0.0.0.0:65535", AF_INET, 65535, ""},
        {"[::1]:0", AF_INET6, 0, ""},
        {"[::]:1620", AF_INET6, 1620, ""},
        {"127.0.0.1:65536", 0, 0, "\"127.0.0.1:65536\" has no valid port (0 to 65535)"},
        {"127.0.0.1:000080", 0, 0, "\"127.0.0.1:000080\" has no valid port (0 to 65535)"},
        {"[::1]:65536", 0, 0, "\"[::1]:65536\" has no valid port (0 to 65535)"},
        {"[::1]:", 0, 0, "\"[::1]:\" has no valid port (0 to 65535)"},
        {"[::1]:1:2", 0, 0, "\"[::1]:1:2\" has no valid port (0 to 65535)"},
        {"[1.2.3.4]:162", 0, 0, "\"[1.2.3.4]:162\" has no valid IPv6 address"},
        {":162", 0, 0, "\":162\" has no host"},
        {"localhost", 0, 0, "\"localhost\" is not host:port"},
    };
    for (const auto& c : cases) {
        sockaddr_storage address{};
        simplatform::SockLen length = 0;
        std::string error;
        bool parsed = simplatform::parseSocketAddress(c.text, address, length, error);
        EXPECT_EQ(parsed, c.family != 0) << c.text << ": " << error;
        if (!parsed) {
            EXPECT_EQ(error, c.fault) << c.text;
            continue;
        }
        EXPECT_EQ(address.ss_family, c.family) << c.text;
        unsigned port = c.family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port)
                                            : ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
        EXPECT_EQ(port, c.port) << c.text;
        EXPECT_EQ(length, static_cast<simplatform::SockLen>(c.family == AF_INET ? sizeof(sockaddr_in)
                                                                                : sizeof(sockaddr_in6)));
    }
}

// The hosts the stream server does not cap: loopback of either family (an
// IPv4-mapped address as its IPv4 one) and local sockets, at the edges of
// 127.0.0.0/8.
TEST(HostAddress, LoopbackAndTheMappedForm)
{
    struct {
        const char* text;
        bool loopback;
    } const cases[] = {
        {"127.0.0.0", true}, {"127.255.255.255", true},  {"126.255.255.255", false}, {"128.0.0.0", false},
        {"::1", true},       {"::ffff:127.0.0.1", true}, {"::ffff:10.1.2.3", false}, {"::127.0.0.1", false},
        {"", true},  // a local socket
    };
    for (const auto& c : cases) {
        sockaddr_storage address{};
        address.ss_family = AF_UNIX;
        if (inet_pton(AF_INET, c.text, &reinterpret_cast<sockaddr_in&>(address).sin_addr) == 1) {
            address.ss_family = AF_INET;
        } else if (inet_pton(AF_INET6, c.text, &reinterpret_cast<sockaddr_in6&>(address).sin6_addr) == 1) {
            address.ss_family = AF_INET6;
        }
        EXPECT_EQ(simplatform::isLoopback(simplatform::hostAddressOf(address)), c.loopback) << c.text;
    }
}

}  // namespace
