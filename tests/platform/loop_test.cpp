// The message loop: quit, errors without spinning, handlers run inside
// DispatchMessageA one at a time, fairness, and handlers that change the
// set of watched sockets.
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
#include "simplatform/internal.h"

namespace {

using simplatform::Socket;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class MessageLoop : public ::testing::Test {
protected:
    // A hang fails the run instead of stalling it.
    void SetUp() override { alarm(20); }
    void TearDown() override
    {
        for (Socket s : sockets_) {
            simplatform::closeSocket(s);
        }
        alarm(0);
    }

    // A connected pair: [0] is watched by tests, [1] is the peer that writes.
    std::vector<Socket> pair()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        sockets_.push_back(fds[0]);
        sockets_.push_back(fds[1]);
        EXPECT_TRUE(simplatform::setNonBlocking(fds[0]));
        return {fds[0], fds[1]};
    }

    static void put(Socket s, size_t count)
    {
        std::string bytes(count, 'x');
        ASSERT_EQ(write(s, bytes.data(), bytes.size()), static_cast<ssize_t>(count));
    }

    static bool takeOne(Socket s)
    {
        char c;
        return read(s, &c, 1) == 1;
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

TEST_F(MessageLoop, QuitEndsTheLoopOnce)
{
    auto p = pair();
    int calls = 0;
    simplatform::watchSocket(p[0], [&] {
        takeOne(p[0]);
        ++calls;
    });
    put(p[1], 1);
    simplatform::postQuit();
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
    // Once only: the ready socket comes next.
    EXPECT_EQ(turn(), 1);
    EXPECT_EQ(calls, 1);
}

TEST_F(MessageLoop, NothingToWaitForIsAnErrorThatDoesNotSpin)
{
    auto started = std::chrono::steady_clock::now();
    double cpuBefore = cpuSeconds();
    const int calls = 10;
    for (int i = 0; i < calls; ++i) {
        MSG msg;
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), -1);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double cpu = cpuSeconds() - cpuBefore;
    EXPECT_GE(wall, calls * 0.010) << "each -1 must wait a little";
    EXPECT_LT(cpu, wall / 4) << "waiting must not burn the CPU";
}

TEST_F(MessageLoop, HandlersRunOnlyInsideDispatch)
{
    auto p = pair();
    int calls = 0;
    simplatform::watchSocket(p[0], [&] {
        takeOne(p[0]);
        ++calls;
    });
    put(p[1], 1);
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(p[0]));
    DispatchMessageA(&msg);
    EXPECT_EQ(calls, 1);
    // A message dispatched twice runs its handler once.
    DispatchMessageA(&msg);
    EXPECT_EQ(calls, 1);
}

TEST_F(MessageLoop, RecordsAreReleasedWhenTheNextMessageIsFetched)
{
    int released = 0;
    simplatform::keepUntilNextMessage([&] { ++released; });
    simplatform::keepUntilNextMessage([&] { ++released; });
    EXPECT_EQ(released, 0);
    MSG msg;
    GetMessageA(&msg, nullptr, 0, 0);  // -1: nothing watched, still releases
    EXPECT_EQ(released, 2);
    GetMessageA(&msg, nullptr, 0, 0);
    EXPECT_EQ(released, 2);
}

TEST_F(MessageLoop, AFloodedSocketDoesNotStarveTheOthers)
{
    auto flood = pair();
    auto quiet = pair();
    auto steady = pair();
    std::string order;
    simplatform::watchSocket(flood[0], [&] {
        takeOne(flood[0]);
        order += 'F';
    });
    simplatform::watchSocket(quiet[0], [&] {
        takeOne(quiet[0]);
        order += 'Q';
    });
    simplatform::watchSocket(steady[0], [&] {
        takeOne(steady[0]);
        order += 'S';
    });
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
    size_t quietAt = order.find('Q');
    ASSERT_NE(quietAt, std::string::npos) << order;
    EXPECT_LE(quietAt, 13u) << "the quiet socket waited more than one round: " << order;
}

TEST_F(MessageLoop, AHandlerMayUnwatchAnotherReadySocket)
{
    auto a = pair();
    auto b = pair();
    int calls = 0;
    auto unwatchBoth = [&] {
        ++calls;
        simplatform::unwatchSocket(a[0]);
        simplatform::unwatchSocket(b[0]);
    };
    simplatform::watchSocket(a[0], unwatchBoth);
    simplatform::watchSocket(b[0], unwatchBoth);
    put(a[1], 1);
    put(b[1], 1);
    ASSERT_EQ(turn(), 1);
    // Both were ready in the same round; the first handler unwatched the
    // other, which therefore never runs.
    EXPECT_EQ(turn(), -1);  // nothing is watched any more
    EXPECT_EQ(calls, 1);
}

TEST_F(MessageLoop, AHandlerMayCloseOrReplaceItsOwnWatch)
{
    auto a = pair();
    auto b = pair();
    std::vector<std::string> seen;
    // Large captures put the handler's state on the heap, where a handler
    // destroyed while running would be caught by the address sanitizer.
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
    ASSERT_EQ(turn(), 1);
    ASSERT_EQ(turn(), 1);
    ASSERT_EQ(turn(), 1);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], "second");
}

TEST_F(MessageLoop, AHandlerMayWatchANewSocket)
{
    auto a = pair();
    auto c = pair();
    int cCalls = 0;
    simplatform::watchSocket(a[0], [&] {
        takeOne(a[0]);
        simplatform::unwatchSocket(a[0]);
        simplatform::watchSocket(c[0], [&] {
            takeOne(c[0]);
            ++cCalls;
        });
    });
    put(a[1], 1);
    put(c[1], 1);
    ASSERT_EQ(turn(), 1);
    EXPECT_EQ(cCalls, 0);
    ASSERT_EQ(turn(), 1);
    EXPECT_EQ(cCalls, 1);
}

TEST_F(MessageLoop, EndOfStreamAndWritableSpaceAreReported)
{
    auto p = pair();
    int readable = 0;
    int writable = 0;
    simplatform::watchSocket(p[0], [&] {
        char c;
        if (read(p[0], &c, 1) == 0) {
            ++readable;
            simplatform::watchSocket(p[0], nullptr);  // stop reading at the end
        }
    });
    simplatform::watchSocketWritable(p[0], [&] {
        ++writable;
        simplatform::watchSocketWritable(p[0], nullptr);
    });
    shutdown(p[1], SHUT_WR);
    // Changing a watch inside a handler may put the rest off to the next
    // round; two rounds see both.
    ASSERT_EQ(turn(), 1);
    ASSERT_EQ(turn(), 1);
    EXPECT_EQ(readable, 1);
    EXPECT_EQ(writable, 1);
    // Both interests are off now: nothing is left to wait for.
    EXPECT_EQ(turn(), -1);
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

}  // namespace
