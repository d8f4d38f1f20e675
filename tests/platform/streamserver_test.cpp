// The stream server both ports stand on: who gets in per turn and over the
// caps, who makes room, quiet connections dropped by the tick, and which
// connections end with a reset.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
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

// Turns until done() (a test that never gets there ends by its alarm).
void turnUntil(const std::function<bool()>& done)
{
    while (!done()) {
        turn();
    }
}

// The text a connection is told to queue shared: three pieces of 90 KB in
// all, more than a small socket buffer takes at once.
const simplatform::SharedTextRef& sharedText()
{
    static const simplatform::SharedTextRef text = [] {
        auto made = std::make_shared<simplatform::SharedText>();
        made->pieces = {std::string(20000, 'x'), std::string(30000, 'y'), std::string(40000, 'z')};
        made->size = 90000;
        return made;
    }();
    return text;
}

// Does what its client's bytes say, a letter each: 'b' begins an answer
// that never ends, 'o' queues 8 MiB of output (more than the socket takes),
// 'k' 64 KiB (which the socket takes, but a client with a small receive
// buffer does not), 's' "s:" and the shared text, 'x' makes it expired, 'd'
// drops it.
class Scripted : public StreamConnection {
public:
    size_t lettersRead() const { return read_; }

protected:
    void readable() override
    {
        char bytes[64];
        long count = simplatform::receiveSome(socket(), bytes, sizeof bytes);
        if (count == 0 || (count < 0 && !simplatform::retryLater())) {
            drop();
        }
        for (long i = 0; i < count && isOpen(); ++i, ++read_) {
            char letter = bytes[i];
            answering_ = answering_ || letter == 'b';
            expired_ = expired_ || letter == 'x';
            if (letter == 'o' || letter == 'k') {
                send(std::string(letter == 'o' ? size_t{8} << 20 : size_t{64} << 10, letter));
            } else if (letter == 's') {
                append("s:");
                appendShared(sharedText());
                flush();
            } else if (letter == 'd') {
                drop();
            }
        }
    }
    bool answering() const override { return answering_; }
    bool expired(Clock::time_point) const override { return expired_; }

private:
    bool answering_ = false;
    bool expired_ = false;
    size_t read_ = 0;
};

// A server of Scripted connections and their clients, both numbered from 0
// in the order they connected.
class ScriptedServer {
public:
    explicit ScriptedServer(StreamServer::Rules rules)
    {
        simplatform::Socket listener = listenOnLoopback();
        port_ = simplatform::boundPort(listener);
        rules.refusal = "full\n";
        rules.acceptFailure = "test: cannot accept";
        server_.start(listener, std::move(rules), [this] {
            made_.push_back(std::make_shared<Scripted>());
            return made_.back();
        });
    }

    // Connects a client and turns until the server has taken it: its number.
    size_t connect(int receiveBuffer = 0, const char* from = nullptr)
    {
        clients_.push_back(std::make_unique<LoopbackClient>(port_, receiveBuffer, from));
        EXPECT_TRUE(clients_.back()->connected());
        turnUntil([&] { return made_.size() == clients_.size(); });
        return made_.size() - 1;
    }
    // Sends client n's letters and turns until its connection has read them.
    void tell(size_t n, const std::string& letters)
    {
        size_t before = made_[n]->lettersRead();
        ASSERT_TRUE(clients_[n]->send(letters));
        turnUntil([&] { return made_[n]->lettersRead() == before + letters.size(); });
    }
    // A client that connects is told "full" and closed.
    bool refuses()
    {
        LoopbackClient client(port_);
        size_t before = made_.size();
        turn();
        return made_.size() == before && client.line() == "full" && client.line() == "<closed>";
    }
    const Scripted& connection(size_t n) const { return *made_[n]; }
    LoopbackClient& client(size_t n) { return *clients_[n]; }
    // The numbers of the connections dropped so far.
    std::vector<size_t> dropped() const
    {
        std::vector<size_t> numbers;
        for (size_t n = 0; n < made_.size(); ++n) {
            if (made_[n]->isDropped()) {
                numbers.push_back(n);
            }
        }
        return numbers;
    }
    size_t count() const { return server_.connectionCount(); }

private:
    uint16_t port_ = 0;
    std::vector<std::shared_ptr<Scripted>> made_;
    std::vector<std::unique_ptr<LoopbackClient>> clients_;
    StreamServer server_;  // last: closed first
};

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

// Output the peer has not taken ends the connection with a reset, so that
// the system does not go on sending it after the close to a peer that does
// not read: output waiting here when the port drops it, and output the
// system still holds when the server ends it for a limit. One whose output
// was all taken ends with the end of the stream.
TEST(StreamServer, OutputLeftUnsentEndsTheConnectionWithAReset)
{
    alarm(60);
    StreamServer::Rules rules;
    rules.maxConnections = 4;
    rules.tick = std::chrono::milliseconds(10);
    ScriptedServer s(rules);
    size_t deaf = s.connect(4096);
    size_t deafToo = s.connect(4096);
    size_t reader = s.connect();

    s.tell(deaf, "o");
    ASSERT_GT(s.connection(deaf).unsent(), 0u);
    s.tell(deaf, "d");
    s.tell(deafToo, "k");
    s.tell(reader, "k");
    ASSERT_EQ(s.connection(deafToo).unsent() + s.connection(reader).unsent(), 0u);
    while (s.client(reader).buffer().size() < (size_t{64} << 10) && s.client(reader).receive()) { }
    s.tell(deafToo, "x");
    s.tell(reader, "x");
    turnUntil([&] { return s.dropped().size() == 3; });
    for (size_t n : {deaf, deafToo, reader}) {
        EXPECT_TRUE(s.client(n).closedByPeer()) << n;
        EXPECT_EQ(s.client(n).wasReset(), n != reader) << n;
    }
    alarm(0);
}

// At the cap the least recently active connection makes room for the
// newcomer, unless it has an answer in flight (begun by the port, or output
// waiting); with every connection answering, the newcomer is refused.
TEST(StreamServer, AtTheCapTheIdlestWithoutAnAnswerInFlightMakesRoom)
{
    alarm(60);
    StreamServer::Rules rules;
    rules.maxConnections = 3;
    rules.evictAtCap = true;
    ScriptedServer s(rules);
    size_t answering = s.connect();
    s.tell(answering, "b");
    size_t idlest = s.connect();
    size_t other = s.connect(4096);
    size_t newcomer = s.connect(4096);
    EXPECT_EQ(s.dropped(), std::vector<size_t>{idlest});
    EXPECT_TRUE(s.client(idlest).closedByPeer());

    s.tell(other, "o");
    s.tell(newcomer, "o");
    EXPECT_TRUE(s.refuses());
    EXPECT_EQ(s.dropped(), std::vector<size_t>{idlest});
    EXPECT_EQ(s.count(), 3u);
    alarm(0);
}

// One host's connections are capped apart from the others': its newcomer
// takes the place of its own idlest, not of an older one of another host,
// and is refused when all of its own are answering. (Loopback hosts are
// capped here only because the test asks for it.)
TEST(StreamServer, TheCapOfOneHostMakesRoomAmongItsOwn)
{
    alarm(60);
    StreamServer::Rules rules;
    rules.maxConnections = 8;
    rules.maxPerAddress = 2;
    rules.capLoopback = true;
    rules.evictAtCap = true;
    ScriptedServer s(rules);
    s.connect(0, "127.0.0.2");
    size_t first = s.connect();
    s.tell(s.connect(), "b");
    s.tell(s.connect(), "b");
    EXPECT_EQ(s.dropped(), std::vector<size_t>{first});
    EXPECT_TRUE(s.refuses());
    s.connect(0, "127.0.0.2");
    EXPECT_EQ(s.dropped(), std::vector<size_t>{first});
    EXPECT_EQ(s.count(), 4u);
    alarm(0);
}

// A shared text is queued by reference on every connection sent it, never
// copied, goes out whole after the bytes queued before it, piece after
// piece, and is let go by the last connection to send it.
TEST(StreamServer, ASharedTextIsQueuedByReferenceAndSentWhole)
{
    alarm(60);
    StreamServer::Rules rules;
    rules.maxConnections = 4;
    rules.sendBufferBytes = 4096;
    ScriptedServer s(rules);
    size_t first = s.connect(4096);
    size_t second = s.connect(4096);
    s.tell(first, "s");
    s.tell(second, "s");
    EXPECT_EQ(sharedText().use_count(), 3);
    const simplatform::SharedText& text = *sharedText();
    std::string whole = "s:" + text.pieces[0] + text.pieces[1] + text.pieces[2];
    for (size_t n : {first, second}) {
        EXPECT_GT(s.connection(n).unsent(), 0u);
        while (s.client(n).buffer().size() < whole.size() && s.client(n).receive()) {
            if (s.connection(n).unsent() > 0) {
                turn();
            }
        }
        EXPECT_TRUE(s.client(n).buffer() == whole) << n << ": " << s.client(n).buffer().size() << " bytes";
    }
    EXPECT_EQ(sharedText().use_count(), 1);
    alarm(0);
}

}  // namespace
