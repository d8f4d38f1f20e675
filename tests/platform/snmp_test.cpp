// The trap session on a live loopback port: delivery through the message
// loop, informs answered (to a real snmpinform too), malformed datagrams
// counted, opening failures, closing and a lost connection, PDU release and
// 64-bit number text.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ovsnmp.h"
#include "platform/winmsg.h"
#include "simplatform/os/net.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/loop.h"
#include "simplatform/runtime/stats.h"
#include "simplatform/trapport/datagram.h"
#include "simplatform/trapport/trapsecurity.h"
#include "simplatform/trapport/trapsession.h"

extern char** environ;

// Every allocation of the test program is counted, to check that the trap
// path allocates nothing per trap in its steady state.
// Not inlined, so that the compiler does not pair malloc with delete.
static std::atomic<uint64_t> g_allocations{0};

__attribute__((noinline)) void* operator new(std::size_t size)
{
    g_allocations++;
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

__attribute__((noinline)) void operator delete(void* p) noexcept
{
    std::free(p);
}

__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes readPacket(const std::string& name)
{
    std::ifstream in(std::string(KELVOROV_TEST_DATA) + "/packets/" + name + ".bin", std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

sockaddr_in loopback(uint32_t host, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(port);
    return a;
}

int udpSocket(uint32_t host, uint16_t port = 0)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(host, port);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
}

uint16_t portOf(int s)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

uint16_t freePort()
{
    int s = udpSocket(0x7F000001);
    uint16_t port = portOf(s);
    close(s);
    return port;
}

// What a callback saw, copied before the PDU went back.
struct Event {
    int kind = 0;
    int command = 0;
    int32_t requestId = 0;
    uint32_t source = 0;
    uint16_t sourcePort = 0;
    std::vector<uint32_t> notify;
    std::string errorText;
};

std::vector<Event> g_events;
// What the callback does after recording, before it frees the PDU.
std::function<void(int, SnmpSession*, SnmpPdu*)> g_then;
bool g_keepPdu = false;  // leave the PDU for the test to free
SnmpPdu* g_keptPdu = nullptr;

void recordCB(int kind, SnmpSession* session, SnmpPdu* pdu, void*)
{
    Event e;
    e.kind = kind;
    if (pdu != nullptr) {
        e.command = pdu->command;
        e.requestId = pdu->request_id;
        e.source = ntohl(pdu->address.sin_addr.s_addr);
        e.sourcePort = ntohs(pdu->address.sin_port);
        e.notify.assign(pdu->notify_oid, pdu->notify_oid + pdu->notify_oid_length);
    } else {
        e.errorText = OVsnmpErrString(OVsnmpErrno);
    }
    g_events.push_back(e);
    if (g_then) {
        g_then(kind, session, pdu);
    }
    if (g_keepPdu) {
        g_keptPdu = pdu;
    } else {
        EXPECT_EQ(OVsnmpFreePdu(pdu), 0);
    }
}

class TrapSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        alarm(60);  // a hang fails the run instead of stalling it
        port_ = freePort();
        address_ = "127.0.0.1:" + std::to_string(port_);
        setenv("SIMPLATFORM_TRAP_ADDR", address_.c_str(), 1);
        g_events.clear();
        g_then = nullptr;
        g_keepPdu = false;
        g_keptPdu = nullptr;
        before_ = simplatform::stats();
        // A socket that a ticker thread writes to while the loop is pumped,
        // so that GetMessageA comes back often enough to watch a deadline.
        tick_ = udpSocket(0x7F000001);
        simplatform::setNonBlocking(tick_);
        simplatform::watchSocket(tick_, [this] {
            char b[16];
            while (recv(tick_, b, sizeof b, 0) > 0)
                ++ticks_;
        });
        sender_ = udpSocket(0x7F000005);
    }

    void TearDown() override
    {
        if (session_ != nullptr) {
            OVsnmpClose(session_);
        }
        simplatform::closeSocket(tick_);
        close(sender_);
        g_then = nullptr;
        alarm(0);
    }

    SnmpSession* open()
    {
        session_ = OVsnmpWEventOpen(nullptr, "KELVOR32", recordCB, nullptr, ".*");
        return session_;
    }

    void send(const Bytes& datagram)
    {
        sockaddr_in to = loopback(0x7F000001, port_);
        ASSERT_EQ(
            sendto(sender_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(datagram.size()));
    }

    // Runs the message loop until done() or the time is up; done()'s result.
    bool pumpUntil(const std::function<bool()>& done, double seconds = 5)
    {
        std::atomic<bool> stop{false};
        uint16_t tickPort = portOf(tick_);
        std::thread ticker([&] {
            int s = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to = loopback(0x7F000001, tickPort);
            while (!stop) {
                sendto(s, "t", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            close(s);
        });
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        bool finished = done();
        while (!finished && Clock::now() < deadline) {
            MSG msg;
            if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            finished = done();
        }
        stop = true;
        ticker.join();
        return finished;
    }

    // Lets the loop run for a while, for checks that nothing happens.
    void pumpFor(double seconds)
    {
        pumpUntil([] { return false; }, seconds);
    }

    uint64_t datagrams() const { return simplatform::stats().datagrams - before_.datagrams; }
    uint64_t delivered() const { return simplatform::stats().delivered - before_.delivered; }
    uint64_t malformed() const { return simplatform::stats().malformed - before_.malformed; }
    uint64_t answered() const { return simplatform::stats().informsAnswered - before_.informsAnswered; }

    uint16_t port_ = 0;
    std::string address_;
    SnmpSession* session_ = nullptr;
    simplatform::Stats before_;
    int tick_ = -1;
    int ticks_ = 0;
    int sender_ = -1;
};

const std::vector<uint32_t> kPowerfail = {1, 3, 6, 1, 4, 1, 935, 0, 5};

}  // namespace

TEST_F(TrapSession, EachDatagramIsDeliveredAsItsOwnCallback)
{
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    send(readPacket("v2trap_powerfail"));
    send(readPacket("v1trap_enterprise"));
    send(readPacket("v2trap_types"));
    ASSERT_TRUE(pumpUntil([] { return g_events.size() >= 3; }));

    ASSERT_EQ(g_events.size(), 3u);
    EXPECT_EQ(g_events[0].kind, SNMP_KIND_TRAP_V2);
    EXPECT_EQ(g_events[1].kind, SNMP_KIND_TRAP_V1);
    EXPECT_EQ(g_events[2].kind, SNMP_KIND_TRAP_V2);
    EXPECT_EQ(g_events[0].notify, kPowerfail);
    EXPECT_EQ(g_events[1].notify, kPowerfail);
    for (const Event& e : g_events) {
        EXPECT_EQ(e.kind, e.command);
        EXPECT_EQ(e.source, 0x7F000005u) << "the sender's address";
        EXPECT_EQ(e.sourcePort, portOf(sender_));
    }
    EXPECT_EQ(datagrams(), 3u);
    EXPECT_EQ(delivered(), 3u);
    EXPECT_EQ(malformed(), 0u);
}

// A turn takes one batch of what waits, no more: the loop stays fair under
// a flood, and the rest is delivered at the next turn.
TEST_F(TrapSession, ATurnTakesOneBatchOfWaitingTraps)
{
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    Bytes trap = readPacket("v2trap_powerfail");
    for (int i = 0; i < 100; ++i) {
        send(trap);
    }
    std::vector<size_t> perTurn;
    for (int turn = 0; turn < 10 && g_events.size() < 100; ++turn) {
        size_t before = g_events.size();
        MSG msg;
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        DispatchMessageA(&msg);
        if (g_events.size() > before) {
            perTurn.push_back(g_events.size() - before);
        }
    }
    EXPECT_EQ(perTurn, (std::vector<size_t>{64, 36}));
}

TEST_F(TrapSession, MalformedAndOtherMessagesAreCountedAndDropped)
{
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    Bytes trap = readPacket("v2trap_powerfail");
    send({});
    send({'h', 'e', 'l', 'l', 'o'});
    send(Bytes(trap.begin(), trap.end() - 1));
    send(readPacket("v2getrequest"));
    send(readPacket("v3trap"));  // no SNMPv3 users here: an unknown user
    send(trap);                  // a good one last: when it arrives, the others have been read
    ASSERT_TRUE(pumpUntil([] { return !g_events.empty(); }));
    pumpFor(0.05);

    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].notify, kPowerfail);
    EXPECT_EQ(datagrams(), 6u);
    EXPECT_EQ(malformed(), 4u);
    EXPECT_EQ(simplatform::stats().usmUnknownUsers - before_.usmUnknownUsers, 1u);
    EXPECT_EQ(delivered(), 1u);
    EXPECT_EQ(answered(), 0u);
}

// The answer goes back to the sender: the inform's bytes with the Response
// tag (net-snmp's encoding is already the shortest one).
TEST_F(TrapSession, InformIsAnsweredBeforeItIsDelivered)
{
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    Bytes inform = readPacket("v2inform");
    int answeredWhenDelivered = -1;
    g_then = [&](int, SnmpSession*, SnmpPdu*) { answeredWhenDelivered = static_cast<int>(answered()); };
    send(inform);
    ASSERT_TRUE(pumpUntil([] { return !g_events.empty(); }));

    EXPECT_EQ(g_events[0].kind, SNMP_KIND_INFORM);
    EXPECT_EQ(static_cast<uint32_t>(g_events[0].requestId), 0x07FD6662u);
    EXPECT_EQ(answeredWhenDelivered, 1);
    Bytes expected = inform;
    expected[13] = 0xA2;  // 30 55 | 02 01 01 | 04 06 public | A6
    ASSERT_EQ(inform[13], 0xA6);
    Bytes answer(2048);
    ssize_t n = recv(sender_, answer.data(), answer.size(), MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    answer.resize(static_cast<size_t>(n));
    EXPECT_EQ(answer, expected);
}

// With a store, the Response waits for the end of the turn: after the
// program's callback and after the flush of what the turn stored.
TEST_F(TrapSession, WithAStoreAnInformIsAnsweredOnlyAfterTheTurnsFlush)
{
    static int answeredAtFlush;
    static uint64_t answeredBefore;
    answeredAtFlush = -1;
    answeredBefore = before_.informsAnswered;
    simplatform::setTurnFlush(
        [] { answeredAtFlush = static_cast<int>(simplatform::stats().informsAnswered - answeredBefore); });
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    int answeredWhenDelivered = -1;
    g_then = [&](int, SnmpSession*, SnmpPdu*) { answeredWhenDelivered = static_cast<int>(answered()); };
    send(readPacket("v2inform"));
    bool done = pumpUntil([this] { return answered() == 1; });
    simplatform::setTurnFlush(nullptr);
    ASSERT_TRUE(done);
    EXPECT_EQ(answeredWhenDelivered, 0);
    EXPECT_EQ(answeredAtFlush, 0);
    Bytes answer(2048);
    EXPECT_GT(recv(sender_, answer.data(), answer.size(), MSG_DONTWAIT), 0);
}

TEST_F(TrapSession, RealSnmpInformGetsItsAnswer)
{
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    std::string target = address_;
    const char* argv[] = {"snmpinform", "-v", "2c", "-c",           "public", "-t",
                          "2",          "-r", "0",  target.c_str(), "",       "1.3.6.1.4.1.935.0.5",
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    int spawned = posix_spawnp(&child, "snmpinform", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        GTEST_SKIP() << "snmpinform is not installed";
    }
    int status = -1;
    bool ended = pumpUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 10);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "snmpinform had no answer";
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].kind, SNMP_KIND_INFORM);
    EXPECT_EQ(g_events[0].notify, kPowerfail);
    EXPECT_EQ(answered(), 1u);
}

std::atomic<size_t> g_counted{0};

void countCB(int, SnmpSession*, SnmpPdu* pdu, void*)
{
    g_counted++;
    OVsnmpFreePdu(pdu);
}

// Throughput of the whole path (receive, decode, record, callback, release)
// with a sender that keeps a bounded number of datagrams in flight; and no
// allocation per trap once the pooled records have grown to size.
TEST_F(TrapSession, ThroughputWithoutAllocationPerTrap)
{
    session_ = OVsnmpWEventOpen(nullptr, "KELVOR32", countCB, nullptr, ".*");
    ASSERT_NE(session_, nullptr) << OVsnmpErrString(OVsnmpErrno);
    Bytes trap = readPacket("v2trap_types");
    const size_t kWarmUp = 1000;
    const size_t kTotal = 20000;
    const size_t kInFlight = 100;
    g_counted = 0;
    std::thread sender([&] {
        for (size_t sent = 0; sent < kTotal; ++sent) {
            while (sent - g_counted.load() >= kInFlight)
                std::this_thread::yield();
            send(trap);
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return g_counted.load() >= kWarmUp; }, 10));
    uint64_t allocationsBefore = g_allocations.load();
    auto start = Clock::now();
    size_t startCount = g_counted.load();
    bool done = pumpUntil([&] { return g_counted.load() >= kTotal; }, 30);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    uint64_t allocations = g_allocations.load() - allocationsBefore;
    sender.join();
    ASSERT_TRUE(done) << g_counted.load() << " of " << kTotal;
    EXPECT_EQ(g_counted.load(), kTotal) << "one callback per datagram";
    EXPECT_EQ(delivered(), kTotal);
    EXPECT_EQ(malformed(), 0u);
    size_t measured = kTotal - startCount;
    // The pumping helper's ticker thread is the only other allocator: a few.
    EXPECT_LT(allocations, 20u) << "for " << measured << " traps";
    std::printf("[ measured ] %zu traps of %zu bytes delivered in %.3f s: %.0f per second, %llu allocations\n",
                measured, trap.size(), seconds, measured / seconds, static_cast<unsigned long long>(allocations));
}

TEST_F(TrapSession, OpeningFailuresNameTheAddressAndTheReason)
{
    int holder = udpSocket(0x7F000001, port_);  // the port is taken
    struct {
        std::string address;
        std::string text;
    } const cases[] = {
        {address_, "cannot bind trap port " + address_ + ": Address already in use"},
        {"192.0.2.1:1620", "cannot bind trap port 192.0.2.1:1620: Cannot assign requested address"},
        {"127.0.0.1:99999",
         "cannot bind trap port 127.0.0.1:99999: \"127.0.0.1:99999\" has no valid port (0 to 65535)"},
    };
    for (const auto& c : cases) {
        setenv("SIMPLATFORM_TRAP_ADDR", c.address.c_str(), 1);
        OVsnmpErrno = 0;
        EXPECT_EQ(open(), nullptr) << c.address;
        EXPECT_EQ(OVsnmpErrString(OVsnmpErrno), c.text);
    }
    close(holder);

    setenv("SIMPLATFORM_TRAP_ADDR", address_.c_str(), 1);
    SnmpSession* first = open();
    ASSERT_NE(first, nullptr) << OVsnmpErrString(OVsnmpErrno);
    EXPECT_EQ(OVsnmpWEventOpen(nullptr, "KELVOR32", recordCB, nullptr, ".*"), nullptr);
    EXPECT_STREQ(OVsnmpErrString(OVsnmpErrno), "a trap session is already open");
    EXPECT_EQ(OVsnmpWEventOpen(nullptr, "KELVOR32", nullptr, nullptr, ".*"), nullptr);
    EXPECT_STREQ(OVsnmpErrString(OVsnmpErrno), "no callback given for the trap session");
    session_ = first;
}

// What was asked for and granted is in stats; a setting that is not a
// number of bytes, and a grant short of the request, are said.
TEST_F(TrapSession, TheReceiveBufferAskedForGrantedAndSaid)
{
    struct {
        const char* setting;
        uint64_t asked;
        std::string said;  // on standard error; "" nothing
    } const cases[] = {
        {"65536", 65536, ""},
        {"64k", 1048576,
         "simplatform: SIMPLATFORM_RECEIVE_BUFFER=64k is not a number of bytes from 1 to 2147483647: asking for "
         "1048576\n"},
        {"0", 1048576, "SIMPLATFORM_RECEIVE_BUFFER=0 is not a number of bytes"},
        // Linux grants at most half of what an int holds.
        {"2147483647", 2147483647,
         "bytes, not the 2147483647 asked for (SIMPLATFORM_RECEIVE_BUFFER): raise net.core.rmem_max to 2147483647 "
         "or more\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        setenv("SIMPLATFORM_RECEIVE_BUFFER", c.setting, 1);
        testing::internal::CaptureStderr();
        ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
        std::string said = testing::internal::GetCapturedStderr();
        OVsnmpClose(session_);
        session_ = nullptr;
        const simplatform::Stats& s = simplatform::stats();
        EXPECT_TRUE(s.receiveBufferKnown);
        EXPECT_EQ(s.receiveBufferRequestedBytes, c.asked);
        if (c.said.empty()) {
            EXPECT_EQ(said, "");
            EXPECT_EQ(s.receiveBufferBytes, c.asked);
        } else {
            EXPECT_NE(said.find(c.said), std::string::npos) << said;
        }
    }
    unsetenv("SIMPLATFORM_RECEIVE_BUFFER");
}

TEST_F(TrapSession, ClosingInsideTheCallbackEndsDelivery)
{
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    g_then = [](int, SnmpSession* session, SnmpPdu*) { EXPECT_EQ(OVsnmpClose(session), 0); };
    Bytes trap = readPacket("v2trap_powerfail");
    send(trap);
    send(trap);
    send(trap);
    ASSERT_TRUE(pumpUntil([] { return !g_events.empty(); }));
    SnmpSession* closed = session_;
    session_ = nullptr;
    pumpFor(0.1);
    EXPECT_EQ(g_events.size(), 1u);

    EXPECT_EQ(OVsnmpClose(closed), -1);
    EXPECT_STREQ(OVsnmpErrString(OVsnmpErrno), "not an open trap session");
    // The port was given back.
    int s = udpSocket(0x7F000001, port_);
    EXPECT_EQ(portOf(s), port_);
    close(s);
}

namespace {

// loseTrapConnection's answer: "" when it lost the connection, else why not.
std::string loseConnection()
{
    std::string error;
    bool lost = simplatform::loseTrapConnection(error);
    EXPECT_EQ(lost, error.empty()) << error;
    return error;
}

}  // namespace

TEST_F(TrapSession, LostConnection)
{
    EXPECT_EQ(loseConnection(), "no trap session is open");
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);

    // As the program does: close the session the callback was given.
    g_then = [](int kind, SnmpSession* session, SnmpPdu*) {
        if (kind == SNMP_KIND_LOST_CONNECTION) {
            EXPECT_EQ(OVsnmpClose(session), 0);
        }
    };
    EXPECT_EQ(loseConnection(), "");
    session_ = nullptr;
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].kind, SNMP_KIND_LOST_CONNECTION);
    EXPECT_EQ(g_events[0].errorText,
              "the connection to the trap service was lost (trap port " + address_ + " closed)");
    EXPECT_EQ(loseConnection(), "no trap session is open");

    send(readPacket("v2trap_powerfail"));
    pumpFor(0.1);
    EXPECT_EQ(g_events.size(), 1u);
    EXPECT_EQ(datagrams(), 0u);
}

TEST_F(TrapSession, LostConnectionStopsTrapsEvenWhenTheSessionStaysOpen)
{
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    EXPECT_EQ(loseConnection(), "");
    EXPECT_EQ(loseConnection(), "the trap session's connection is already lost");
    send(readPacket("v2trap_powerfail"));
    pumpFor(0.1);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].kind, SNMP_KIND_LOST_CONNECTION);
    EXPECT_EQ(OVsnmpClose(session_), 0);
    session_ = nullptr;
}

TEST_F(TrapSession, FreePduTakesBackOnlyWhatItHandedOut)
{
    EXPECT_EQ(OVsnmpFreePdu(nullptr), 0);
    SnmpPdu onTheStack{};
    EXPECT_EQ(OVsnmpFreePdu(&onTheStack), -1);
    EXPECT_STREQ(OVsnmpErrString(OVsnmpErrno), "not a PDU delivered by the SNMP library");

    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    g_keepPdu = true;
    send(readPacket("v2trap_powerfail"));
    ASSERT_TRUE(pumpUntil([] { return g_keptPdu != nullptr; }));
    // Still whole after the callback returned and the loop went on.
    pumpFor(0.05);
    EXPECT_EQ(std::vector<uint32_t>(g_keptPdu->notify_oid, g_keptPdu->notify_oid + g_keptPdu->notify_oid_length),
              kPowerfail);
    EXPECT_EQ(OVsnmpFreePdu(g_keptPdu), 0);
    EXPECT_EQ(OVsnmpFreePdu(g_keptPdu), -1) << "a second release is ignored";
}

// Opening the session derives no key: the users' pass phrases become keys
// afterwards, a user a turn of the loop, so a long users file does not hold
// the start.
TEST_F(TrapSession, UsersKeysAreDerivedAfterTheSessionOpens)
{
    std::string path = testing::TempDir() + "trap-users.conf";
    std::ofstream(path) << "createUser one SHA pass-phrase-1\ncreateUser two SHA-512 pass-phrase-2 AES-256C\n"
                           "createUser three MD5 pass-phrase-3 DES\n";
    setenv("SIMPLATFORM_USM_USERS", path.c_str(), 1);
    std::string error;
    ASSERT_TRUE(simplatform::configureTrapSecurity(error)) << error;
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    EXPECT_EQ(simplatform::trapUsersWithKeys(), 0u);
    EXPECT_TRUE(pumpUntil([] { return simplatform::trapUsersWithKeys() == 3; }));

    // The other tests have no users.
    unsetenv("SIMPLATFORM_USM_USERS");
    ASSERT_TRUE(simplatform::configureTrapSecurity(error)) << error;
    OVsnmpClose(session_);
    session_ = nullptr;
    ASSERT_NE(open(), nullptr) << OVsnmpErrString(OVsnmpErrno);
    EXPECT_EQ(simplatform::trapUsersWithKeys(), 0u);
}

// An IPv4-mapped source is an IPv4 sender only on a dual-stack socket; on
// one bound to an IPv6 address it came over IPv6 and must not pass for the
// IPv4 host it names.
TEST(TrapSender, MappedSourceIsIpv4OnlyOnADualStackSocket)
{
    using namespace simplatform;
    for (auto [address, dualStack] : {std::pair<const char*, bool>{"[::]:0", true}, {"[::1]:0", false}}) {
        sockaddr_storage a{};
        SockLen n = 0;
        std::string error;
        ASSERT_TRUE(parseSocketAddress(address, a, n, error)) << error;
        Socket s = bindDatagram(reinterpret_cast<const sockaddr*>(&a), n, error);
        ASSERT_NE(s, kNoSocket) << address << ": " << error;
        EXPECT_EQ(takesMappedIpv4(s), dualStack) << address;
        close(s);
    }
    sockaddr_storage from{};
    auto& v6 = reinterpret_cast<sockaddr_in6&>(from);
    v6.sin6_family = AF_INET6;
    ASSERT_EQ(inet_pton(AF_INET6, "::ffff:127.0.0.1", &v6.sin6_addr), 1);
    sockaddr_in ipv4 = programAddress(from, true);
    EXPECT_EQ(ipv4.sin_family, AF_INET);
    EXPECT_EQ(ntohl(ipv4.sin_addr.s_addr), 0x7F000001u);
    sockaddr_in ipv6Only = programAddress(from, false);
    EXPECT_EQ(ipv6Only.sin_family, AF_INET6);
    EXPECT_EQ(ipv6Only.sin_addr.s_addr, 0u);
}

TEST(SnmpLibrary, Uint64ToStr)
{
    struct {
        uint32_t high, low;
        int base;
        const char* text;
    } const cases[] = {
        {0, 0, 10, "0"},
        {0, 4294967295u, 10, "4294967295"},
        {1, 0, 10, "4294967296"},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 10, "18446744073709551615"},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 16, "ffffffffffffffff"},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 2, "1111111111111111111111111111111111111111111111111111111111111111"},
        {0, 35, 36, "z"},
        {0, 36, 36, "10"},
        {0, 5, 1, ""},
        {0, 5, 37, ""},
    };
    for (const auto& c : cases) {
        char out[80];
        std::memset(out, 'x', sizeof out);
        SnmpCounter64 value{c.high, c.low};
        int status = 99;
        EXPECT_EQ(OVuint64ToStr(out, &value, c.base, &status), out);
        EXPECT_STREQ(out, c.text) << c.high << ":" << c.low << " base " << c.base;
        EXPECT_EQ(status, c.text[0] ? 0 : -1);
    }
}
