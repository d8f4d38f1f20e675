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
//   as datagram.h says.
// - The callback may close the session; the session notices (its
//   generation changes) and delivers nothing more: the rest of the batch is
//   dropped with the socket, as what still waited in the kernel is.
#include "trapsession.h"

#include <memory>
#include <string>

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

constexpr int kReceiveBufferBytes = 1 << 20;

struct TrapSessionState {
    SnmpSession session{};  // the record the program holds
    Socket socket = kNoSocket;
    bool dualStack = false;  // IPv4 senders arrive IPv4-mapped
    OVsnmpCallback callback = nullptr;
    void* userData = nullptr;
    std::string address;    // as configured, for texts
    bool connected = true;  // false after a lost connection
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
        closeSocket(s.socket);  // unwatches it too
        s.socket = kNoSocket;
        s.connected = false;
    }
}

std::string trapPortFailure(const std::string& address, const std::string& reason)
{
    return "cannot bind trap port " + address + ": " + reason;
}

// The session's socket, bound and with a larger buffer; kNoSocket and the
// reason in error when it cannot be bound.
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
    // A larger kernel buffer rides out bursts of traps; best effort.
    int bufferBytes = kReceiveBufferBytes;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferBytes), sizeof bufferBytes);
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
