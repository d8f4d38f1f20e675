// The message loop: quit, errors without spinning, handlers inside
// DispatchMessageA, fairness, and handlers that change the watch set.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/winmsg.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/loop.h"

namespace {

using simplatform::Socket;

class MessageLoop : public ::testing::Test {
protected:
    void SetUp() override { alarm(20); }  // a hang fails the run instead of stalling it
    void TearDown() override
    {
        for (Socket s : sockets_) {
            simplatform::closeSocket(s);
        }
        alarm(0);
    }

    // A connected pair: [0] is watched, [1] is the peer that writes.
    std::vector<Socket> pair()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        sockets_.insert(sockets_.end(), {fds[0], fds[1]});
        EXPECT_TRUE(simplatform::setNonBlocking(fds[0]));
        return {fds[0], fds[1]};
    }
    static void put(Socket s, size_t count)
    {
        std::string bytes(count, 'x');
        ASSERT_EQ(write(s, bytes.data(), bytes.size()), static_cast<ssize_t>(count));
    }
    static void takeOne(Socket s)
    {
        char c;
        (void)!read(s, &c, 1);
    }
    // Watches s with a handler that reads one byte and records tag.
    static void watchTagged(Socket s, char tag, std::string& order)
    {
        simplatform::watchSocket(s, [s, tag, &order] {
            takeOne(s);
            order += tag;
        });
    }
    // One GetMessageA / DispatchMessageA turn; GetMessageA's result.
    static int turn()
    {
        MSG msg;
        int got = GetMessageA(&msg, nullptr, 0, 0);
        if (got > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        return got;
    }

    std::vector<Socket> sockets_;
};

TEST_F(MessageLoop, QuitEndsTheLoopOnceAndHandlersRunOnlyInDispatch)
{
    auto p = pair();
    std::string order;
    watchTagged(p[0], 'a', order);
    put(p[1], 1);
    simplatform::postQuit();
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(p[0]));
    EXPECT_EQ(order, "");
    DispatchMessageA(&msg);
    DispatchMessageA(&msg);  // the same message twice runs its handler once
    EXPECT_EQ(order, "a");
}

TEST_F(MessageLoop, NothingToWaitForIsAnErrorThatDoesNotSpin)
{
    int released = 0;
    simplatform::keepUntilNextMessage([&] { ++released; });
    // Each -1 waits a little, blocked: a program that asks again at once
    // must not spin. Counted as the times the process gave up the CPU.
    auto blockedWaits = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_nvcsw;
    };
    long before = blockedWaits();
    const int calls = 10;
    for (int i = 0; i < calls; ++i) {
        EXPECT_EQ(turn(), -1);
    }
    EXPECT_GE(blockedWaits() - before, calls) << "each -1 must wait, blocked";
    EXPECT_EQ(released, 1) << "records are released even when no message comes";
}

// What a handler is handed is released as soon as it returns, not when
// the program next asks for a message.
TEST_F(MessageLoop, RecordsAreReleasedWhenTheirHandlerReturns)
{
    auto p = pair();
    int kept = 0;
    int released = 0;
    simplatform::watchSocket(p[0], [&, s = p[0]] {
        takeOne(s);
        ++kept;
        simplatform::keepUntilNextMessage([&] { ++released; });
    });
    put(p[1], 1);
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    DispatchMessageA(&msg);
    EXPECT_EQ(kept, 1);
    EXPECT_EQ(released, 1);
}

TEST_F(MessageLoop, AFloodedSocketDoesNotStarveTheOthers)
{
    auto flood = pair();
    auto steady = pair();
    auto quiet = pair();
    std::string order;
    watchTagged(flood[0], 'F', order);
    watchTagged(quiet[0], 'Q', order);
    watchTagged(steady[0], 'S', order);
    put(flood[1], 1000);
    put(steady[1], 1000);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(turn(), 1);
    }
    put(quiet[1], 1);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(turn(), 1);
    }
    // Every ready socket gets one turn per round.
    long floods = std::count(order.begin(), order.end(), 'F');
    long steadies = std::count(order.begin(), order.end(), 'S');
    EXPECT_LE(std::labs(floods - steadies), 1) << order;
    EXPECT_LE(order.find('Q'), 13u) << "the quiet socket waited more than one round: " << order;
}

TEST_F(MessageLoop, HandlersMayChangeTheWatchSet)
{
    auto a = pair();
    auto b = pair();
    auto c = pair();
    std::string order;
    // a and b are ready in the same round; whichever runs first unwatches
    // the other and watches c, so the other never runs.
    auto first = [&](char tag) {
        return [&, tag] {
            order += tag;
            simplatform::unwatchSocket(a[0]);
            simplatform::unwatchSocket(b[0]);
            watchTagged(c[0], 'c', order);
        };
    };
    simplatform::watchSocket(a[0], first('a'));
    simplatform::watchSocket(b[0], first('b'));
    put(a[1], 1);
    put(b[1], 1);
    put(c[1], 1);
    ASSERT_EQ(turn(), 1);
    ASSERT_EQ(turn(), 1);
    EXPECT_EQ(order, "ac");
    simplatform::unwatchSocket(c[0]);
    EXPECT_EQ(turn(), -1);
}

TEST_F(MessageLoop, AHandlerMayCloseOrReplaceItsOwnWatch)
{
    auto a = pair();
    auto b = pair();
    std::vector<std::string> seen;
    // Large captures live on the heap, where a handler destroyed while it
    // runs is caught by the address sanitizer.
    std::string tagA(200, 'a');
    simplatform::watchSocket(a[0], [&seen, tagA, a] {
        takeOne(a[0]);
        simplatform::closeSocket(a[0]);
        seen.push_back(tagA);
    });
    std::string tagB(200, 'b');
    simplatform::watchSocket(b[0], [&seen, tagB, b] {
        takeOne(b[0]);
        simplatform::watchSocket(b[0], [&seen, b] {
            takeOne(b[0]);
            seen.push_back("second");
        });
        seen.push_back(tagB);
    });
    sockets_.erase(sockets_.begin());  // a[0] is closed by its handler
    put(a[1], 1);
    put(b[1], 2);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(turn(), 1);
    }
    const std::vector<std::string> expected = {tagA, tagB, "second"};
    EXPECT_EQ(seen, expected);
}

TEST_F(MessageLoop, EndOfStreamAndWritableSpaceAreReported)
{
    auto p = pair();
    std::string order;
    simplatform::watchSocket(p[0], [&] {
        char c;
        if (read(p[0], &c, 1) == 0) {
            order += 'e';
            simplatform::watchSocket(p[0], nullptr);  // stop reading at the end
        }
    });
    simplatform::watchSocketWritable(p[0], [&] {
        order += 'w';
        simplatform::watchSocketWritable(p[0], nullptr);
    });
    shutdown(p[1], SHUT_WR);
    // A handler that changes its watch may put the rest off to the next round.
    ASSERT_EQ(turn(), 1);
    ASSERT_EQ(turn(), 1);
    EXPECT_EQ(order, "we");
    EXPECT_EQ(turn(), -1) << "both interests are off: nothing is left to wait for";
}

TEST_F(MessageLoop, ASocketClosedBehindTheLoopsBackIsDropped)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    int calls = 0;
    simplatform::watchSocket(fds[0], [&] { ++calls; });
    close(fds[0]);
    close(fds[1]);
    // Not a busy loop on the dead descriptor: it is dropped, and with
    // nothing else watched GetMessageA reports an error.
    EXPECT_EQ(turn(), -1);
    EXPECT_EQ(calls, 0);
}

TEST_F(MessageLoop, TimersTickInDispatchBesideSocketsUntilStopped)
{
    auto p = pair();
    std::string order;
    watchTagged(p[0], 's', order);
    int timer = simplatform::startTimer(std::chrono::milliseconds(5), [&] { order += 't'; });
    EXPECT_NE(timer, 0);
    // With no socket ready, the wait ends when the timer is due.
    ASSERT_EQ(turn(), 1);
    ASSERT_EQ(turn(), 1);
    EXPECT_EQ(order, "tt");
    put(p[1], 1);
    while (order.find('s') == std::string::npos) {
        ASSERT_EQ(turn(), 1);
    }
    simplatform::stopTimer(timer);
    simplatform::stopTimer(timer);  // twice is harmless
    simplatform::watchSocket(p[0], nullptr);
    EXPECT_EQ(turn(), -1) << "nothing left to wait for once the timer is stopped";
}

}  // namespace
