// The stream server both ports stand on: who gets in per turn and over the
// cap, and quiet connections dropped by the tick.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "loopbackclient.h"
#include "platform/winmsg.h"
#include "simplatform/runtime/loop.h"
#include "simplatform/runtime/streamserver.h"

namespace {

using simplatform::StreamConnection;
using simplatform::StreamServer;

// Reads and ignores; expired once it has been quiet for quietLimit.
class Quiet : public StreamConnection {
public:
    explicit Quiet(std::chrono::milliseconds quietLimit)
        : quietLimit_(quietLimit)
    {
    }

protected:
    void readable() override
    {
        char bytes[256];
        long count = simplatform::receiveSome(socket(), bytes, sizeof bytes);
        if (count == 0 || (count < 0 && !simplatform::retryLater())) {
            drop();
        }
    }
    bool expired(Clock::time_point now) const override
    {
        return quietLimit_.count() > 0 && now - lastActive() > quietLimit_;
    }

private:
    std::chrono::milliseconds quietLimit_;
};

simplatform::Socket listenOnLoopback()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string error;
    simplatform::Socket s = simplatform::listenStream(reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                                      64, error);
    EXPECT_NE(s, simplatform::kNoSocket) << error;
    return s;
}

void turn()
{
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    DispatchMessageA(&msg);
}

TEST(StreamServer, AcceptsABudgetATurnAndRefusesPastTheCap)
{
    alarm(60);
    simplatform::Socket listener = listenOnLoopback();
    uint16_t port = simplatform::boundPort(listener);
    StreamServer server;
    StreamServer::Rules rules;
    rules.maxConnections = StreamServer::kMaxAcceptsPerTurn + 4;
    rules.refusal = "full\n";
    rules.acceptFailure = "test: cannot accept";
    server.start(listener, rules, [] { return std::make_shared<Quiet>(std::chrono::milliseconds(0)); });

    // All of them wait in the listen queue before the first turn.
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (size_t i = 0; i <= rules.maxConnections; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>(port));
        ASSERT_TRUE(clients.back()->connected());
    }
    turn();
    EXPECT_EQ(server.connectionCount(), static_cast<size_t>(StreamServer::kMaxAcceptsPerTurn));
    turn();
    EXPECT_EQ(server.connectionCount(), rules.maxConnections);
    EXPECT_EQ(clients.back()->line(), "full");
    EXPECT_EQ(clients.back()->line(), "<closed>");
    // Those let in are served: one that leaves is dropped, the rest stay.
    clients.front()->close();
    turn();
    EXPECT_EQ(server.connectionCount(), rules.maxConnections - 1);
    server.close();
    alarm(0);
}

// The tick runs from the first connection on, so that one quiet connection
// alone is dropped, and stops with the last.
TEST(StreamServer, TheTickDropsQuietConnections)
{
    alarm(60);
    simplatform::Socket listener = listenOnLoopback();
    StreamServer server;
    StreamServer::Rules rules;
    rules.maxConnections = 4;
    rules.expiredNotice = "test: dropped";
    rules.tick = std::chrono::milliseconds(10);
    server.start(listener, rules, [] { return std::make_shared<Quiet>(std::chrono::milliseconds(50)); });

    LoopbackClient client(simplatform::boundPort(listener));
    ASSERT_TRUE(client.connected());
    testing::internal::CaptureStderr();
    turn();
    ASSERT_EQ(server.connectionCount(), 1u);
    while (server.connectionCount() > 0) {
        turn();  // a connection never dropped ends the run by the alarm
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "test: dropped\n");
    EXPECT_TRUE(client.closedByPeer());
    server.close();
    alarm(0);
}

}  // namespace
