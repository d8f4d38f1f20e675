// The trap session: a UDP socket on the TrapAddr setting whose datagrams
// are handed, one callback each, to the session's callback.
//
// Invariants:
// - One thread: the session runs inside DispatchMessageA and calls the
//   program from there. At most one session is open at a time.
// - The kernel's socket buffer is the only queue: a readable event takes one
//   batch of what waits, up to kDatagramBatch (64) datagrams in one call
//   (net.h), delivers each accepted one as its own callback (datagram.h),
//   and leaves the rest for the next turn of the loop so that the other
//   sockets are served in between.
// - Every datagram is counted once in stats().datagrams, and then once more
//   as datagram.h says. Where the kernel tells (Linux), the datagrams it
//   dropped from the socket's full queue are counted in
//   stats().kernelDrops, from the count each datagram comes with: so
//   datagrams + kernelDrops is what reached the port.
// - The callback may close the session; the session notices (its
//   generation changes) and delivers nothing more: the rest of the batch is
//   dropped with the socket, as what still waited in the kernel is.
#include "trapsession.h"

#include <stdio.h>

#include <charconv>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "../../platform/ovsnmp.h"
#include "../runtime/handover.h"
#include "../runtime/loop.h"
#include "../runtime/settings.h"
#include "../runtime/stats.h"
#include "../snmp/ber.h"
#include "datagram.h"
#include "pdupool.h"
#include "snmperrors.h"
#include "trapsecurity.h"

namespace simplatform {
namespace {

struct TrapSessionState {
    SnmpSession session{};  // the record the program holds
    Socket socket = kNoSocket;
    bool dualStack = false;  // IPv4 senders arrive IPv4-mapped
    OVsnmpCallback callback = nullptr;
    void* userData = nullptr;
    std::string address;     // as configured, for texts
    bool connected = true;   // false after a lost connection
    uint32_t dropCount = 0;  // the kernel's count of drops on the socket, as last seen
};

struct TrapReceiver {
    std::unique_ptr<TrapSessionState> open;
    uint64_t generation = 0;  // changes whenever a session opens or closes
    // One byte more than the longest datagram accepted, to see a longer one.
    DatagramBatch batch{ber::kMaxDatagram + 1};
};

// Lives until the process ends: the program may exit from inside a callback.
TrapReceiver& receiver()
{
    static auto* instance = new TrapReceiver;
    return *instance;
}

// The kernel counts the drops of each socket in 32 bits; a datagram comes
// with the count as it was when the datagram was queued, or with none while
// it is 0. What it grew by since the last one seen is counted, rightly
// across the count's wrap too.
void countKernelDrops(TrapSessionState& s, std::optional<uint32_t> count)
{
    if (count && *count != s.dropCount) {
        stats().kernelDrops += static_cast<uint32_t>(*count - s.dropCount);
        s.dropCount = *count;
    }
}

void onTrapSocketReadable()
{
    TrapReceiver& r = receiver();
    TrapSessionState* s = r.open.get();
    if (s == nullptr || !s->connected) {
        return;
    }
    // A failed receive (nothing waits, or an error for one datagram or an
    // earlier answer) ends the turn; a socket that still has data is ready
    // again at the next one.
    int count = r.batch.receive(s->socket);
    for (int i = 0; i < count; ++i) {
        stats().datagrams++;
        countKernelDrops(*s, r.batch.dropCount(i));
        std::unique_ptr<PduRecord> record = receiveDatagram(
            s->socket, s->dualStack, r.batch.bytes(i), r.batch.size(i), r.batch.from(i), r.batch.fromLength(i));
        if (!record) {
            continue;
        }
        SnmpPdu* pdu = lendPdu(std::move(record));
        uint64_t generation = r.generation;
        s->callback(pdu->command, &s->session, pdu, s->userData);
        // The callback has returned: the records the map services handed it
        // go now, not at the end of the batch, so a batch of 64 traps holds
        // no more of them than one trap does. The turn's console lines and
        // state file still wait for the end of the turn.
        releaseReturnedRecords();
        if (r.generation != generation || !s->connected) {
            return;  // the callback closed the session
        }
    }
}

void stopReceiving(TrapSessionState& s)
{
    if (s.connected) {
        dropHeldAnswers();
        closeSocket(s.socket);  // unwatches it too
        s.socket = kNoSocket;
        s.connected = false;
    }
}

std::string trapPortFailure(const std::string& address, const std::string& reason)
{
    return "cannot bind trap port " + address + ": " + reason;
}

// A number of bytes from 1 to INT_MAX, in decimal digits alone.
bool parseBytes(std::string_view text, int& bytes)
{
    auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), bytes);
    return fault == std::errc() && end == text.data() + text.size() && bytes > 0;
}

// The receive buffer to ask for: the ReceiveBuffer setting, or its default
// when the setting is not a number of bytes (said on standard error).
int receiveBufferToAsk()
{
    std::string text = setting(Setting::ReceiveBuffer);
    int bytes = 0;
    if (parseBytes(text, bytes)) {
        return bytes;
    }
    const char* fallback = settingDefault(Setting::ReceiveBuffer);
    fprintf(stderr, "simplatform: %s=%s is not a number of bytes from 1 to %d: asking for %s\n",
            settingName(Setting::ReceiveBuffer), text.c_str(), INT_MAX, fallback);
    parseBytes(fallback, bytes);
    return bytes;
}

// A larger kernel buffer rides out bursts of traps. What was asked for and
// what was granted go to stats; a grant short of the request is said on
// standard error, with the system's limit to raise.
void sizeReceiveBuffer(Socket socket)
{
    int asked = receiveBufferToAsk();
    long granted = setReceiveBuffer(socket, asked);
    Stats& counters = stats();
    counters.receiveBufferKnown = granted >= 0;
    counters.receiveBufferRequestedBytes = static_cast<uint64_t>(asked);
    counters.receiveBufferBytes = granted >= 0 ? static_cast<uint64_t>(granted) : 0;
    if (granted < 0 || granted >= asked) {
        return;
    }
#ifdef __linux__
    fprintf(stderr,
            "simplatform: trap port: the kernel granted a receive buffer of %ld bytes, not the %d asked for (%s): "
            "raise net.core.rmem_max to %d or more\n",
            granted, asked, settingName(Setting::ReceiveBuffer), asked);
#else
    fprintf(
        stderr,
        "simplatform: trap port: the system granted a receive buffer of %ld bytes, not the %d asked for (%s)\n",
        granted, asked, settingName(Setting::ReceiveBuffer));
#endif
}

// The session's socket, bound, with its receive buffer and the kernel's
// drop counts asked for; kNoSocket and the reason in error when it cannot
// be bound.
Socket bindTrapPort(const std::string& address, std::string& error)
{
    sockaddr_storage addr{};
    SockLen addrLength = 0;
    std::string reason;
    Socket socket = kNoSocket;
    if (parseSocketAddress(address, addr, addrLength, reason)) {
        socket = bindDatagram(reinterpret_cast<const sockaddr*>(&addr), addrLength, reason);
    }
    if (socket == kNoSocket) {
        error = trapPortFailure(address, reason);
        return kNoSocket;
    }
    sizeReceiveBuffer(socket);
    if (askForDropCounts(socket)) {
        stats().kernelDropsKnown = true;
    }
    return socket;
}

}  // namespace

bool loseTrapConnection(std::string& error)
{
    TrapReceiver& r = receiver();
    TrapSessionState* s = r.open.get();
    if (s == nullptr) {
        error = "no trap session is open";
        return false;
    }
    if (!s->connected) {
        error = "the trap session's connection is already lost";
        return false;
    }
    // Like a real loss: the port is closed at once and nothing more arrives,
    // whatever the program does with the news.
    stopReceiving(*s);
    setSnmpError(kConnectionLost,
                 "the connection to the trap service was lost (trap port " + s->address + " closed)");
    s->callback(SNMP_KIND_LOST_CONNECTION, &s->session, nullptr, s->userData);
    return true;
}

}  // namespace simplatform

// The node, application name and filter are accepted and not interpreted:
// the session receives every trap and inform that reaches the trap port.
SnmpSession* OVsnmpWEventOpen(const char* node, const char* application, OVsnmpCallback callback, void* user_data,
                              const char* filter)
{
    using namespace simplatform;
    (void)node;
    (void)application;
    (void)filter;
    TrapReceiver& r = receiver();
    if (callback == nullptr) {
        setSnmpError(kNoCallback);
        return nullptr;
    }
    if (r.open) {
        setSnmpError(kSessionAlreadyOpen);
        return nullptr;
    }
    // The SNMPv3 keys are derived here, not before main: on Windows that
    // runs while the platform's DLL loads, where the cryptographic library
    // must not start.
    std::string error;
    if (!startTrapSecurity(error)) {
        setSnmpError(kTrapPortUnavailable, "SNMPv3 security: " + error);
        return nullptr;
    }
    auto s = std::make_unique<TrapSessionState>();
    s->address = setting(Setting::TrapAddr);
    s->callback = callback;
    s->userData = user_data;
    s->socket = bindTrapPort(s->address, error);
    if (s->socket == kNoSocket) {
        setSnmpError(kTrapPortUnavailable, error);
        return nullptr;
    }
    s->dualStack = takesMappedIpv4(s->socket);
    watchSocket(s->socket, [] { onTrapSocketReadable(); });
    r.open = std::move(s);
    r.generation++;
    return &r.open->session;
}

int OVsnmpClose(SnmpSession* session)
{
    using namespace simplatform;
    TrapReceiver& r = receiver();
    if (session == nullptr || !r.open || session != &r.open->session) {
        setSnmpError(kUnknownSession);
        return -1;
    }
    stopReceiving(*r.open);
    r.open.reset();
    r.generation++;
    return 0;
}
