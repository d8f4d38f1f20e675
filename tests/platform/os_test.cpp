// The operating-system layer: socket addresses from their text.
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

}  // namespace
