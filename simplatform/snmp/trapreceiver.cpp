// The trap receiver, the SNMP library's trap event session: a UDP socket on
// the TrapAddr setting that decodes every datagram, answers informs and
// hands each trap and inform to the session's callback; PDU release, error
// texts and 64-bit number text.
//
// Invariants:
// - One thread: the receiver runs inside DispatchMessageA and calls the
//   program from there. At most one session is open at a time.
// - The kernel's socket buffer is the only queue: a readable event takes one
//   batch of what waits, up to kDatagramBatch (64) datagrams in one call
//   (net.h), decodes and delivers each as its own callback, and leaves the
//   rest for the next turn of the loop so that the other sockets are served
//   in between.
// - Every datagram is counted once in stats().datagrams, and then once more
//   in malformed, one of the SNMPv3 security drops, or delivered.
// - SNMPv3 messages go through the user-based security model (usm.h); what
//   it answers (a Report, an inform's Response) is sent before anything is
//   delivered.
// - The callback may close the session; the receiver notices (the session
//   generation changes) and delivers nothing more: the rest of the batch is
//   dropped with the socket, as what still waited in the kernel is.
// - PDU records are pooled: a freed record goes back to the pool with its
//   containers' capacity, so a steady stream of traps allocates nothing.
//   OVsnmpFreePdu only releases records that are in the live list; any
//   other pointer is left alone.
#include "trapreceiver.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../../platform/ovsnmp.h"
#include "../runtime/handover.h"
#include "../runtime/loop.h"
#include "../runtime/settings.h"
#include "../runtime/stats.h"
#include "ber.h"
#include "pdurecord.h"
#include "snmpv3.h"
#include "usm.h"
#include "usmusers.h"

#ifndef _WIN32
#include <unistd.h>
#endif

int OVsnmpErrno = 0;

namespace simplatform {
namespace {

// Error codes of OVsnmpErrno.
enum ErrorCode {
    kNoError = 0,
    kTrapPortUnavailable = 1,
    kSessionAlreadyOpen = 2,
    kConnectionLost = 3,
    kUnknownSession = 4,
    kUnknownPdu = 5,
    kNoCallback = 6,
    kErrorCodes
};

const char* const kErrorTexts[kErrorCodes] = {
    "no error",
    "cannot open the trap port",
    "a trap session is already open",
    "the connection to the trap service was lost",
    "not an open trap session",
    "not a PDU delivered by the SNMP library",
    "no callback given for the trap session",
};

// The text of the last failure of each code, when it says more than the
// code's fixed text (the address and the operating system's reason).
std::array<std::string, kErrorCodes>& errorDetails()
{
    static auto* details = new std::array<std::string, kErrorCodes>;
    return *details;
}

void setError(ErrorCode code, std::string detail = std::string())
{
    errorDetails()[code] = std::move(detail);
    OVsnmpErrno = code;
}

constexpr size_t kPoolLimit = 16;  // freed records kept for reuse
constexpr int kReceiveBufferBytes = 1 << 20;

struct TrapSessionState {
    SnmpSession session{};  // the record the program holds
    Socket socket = kNoSocket;
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
    std::vector<uint8_t> response;
    std::vector<std::unique_ptr<PduRecord>> live;  // handed to the program
    std::vector<std::unique_ptr<PduRecord>> pool;  // ready for reuse
};

// Lives until the process ends: the program may exit from inside a callback.
TrapReceiver& receiver()
{
    static auto* instance = new TrapReceiver;
    return *instance;
}

std::unique_ptr<PduRecord> takeRecord(TrapReceiver& r)
{
    if (r.pool.empty()) {
        return std::make_unique<PduRecord>();
    }
    std::unique_ptr<PduRecord> record = std::move(r.pool.back());
    r.pool.pop_back();
    return record;
}

void giveBack(TrapReceiver& r, std::unique_ptr<PduRecord> record)
{
    if (r.pool.size() < kPoolLimit) {
        r.pool.push_back(std::move(record));
    }
}

// The SNMPv3 security of the trap port.
usm::Security& security()
{
    static auto* instance = new usm::Security;
    return *instance;
}

// What configureTrapSecurity read at start, until the first trap session
// opens and security() is configured with it.
struct PendingSecurity {
    bool pending = false;
    std::vector<usm::User> users;
    std::vector<uint8_t> engineId;  // empty: derived from the host name
    uint32_t boots = 1;
};

PendingSecurity& pendingSecurity()
{
    static auto* instance = new PendingSecurity;
    return *instance;
}

uint64_t monotonicSeconds()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
}

// Sends r.response to the sender; true when the operating system took it.
bool sendAnswer(TrapReceiver& r, const TrapSessionState& s, const sockaddr_storage& to, SockLen toLength)
{
    int sent = sendto(s.socket, reinterpret_cast<const char*>(r.response.data()),
                      static_cast<int>(r.response.size()), 0, reinterpret_cast<const sockaddr*>(&to), toLength);
    return sent == static_cast<int>(r.response.size());
}

// The sender as the program sees it: an IPv4 address (also when it came
// IPv4-mapped to a dual-stack socket), or only its family.
sockaddr_in programAddress(const sockaddr_storage& from)
{
    sockaddr_in a{};
    if (from.ss_family == AF_INET) {
        memcpy(&a, &from, sizeof a);
        return a;
    }
    a.sin_family = from.ss_family;
    if (from.ss_family == AF_INET6) {
        const sockaddr_in6& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        a.sin_port = v6.sin6_port;
        static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (memcmp(&v6.sin6_addr, kMapped, sizeof kMapped) == 0) {
            a.sin_family = AF_INET;
            memcpy(&a.sin_addr, reinterpret_cast<const uint8_t*>(&v6.sin6_addr) + 12, 4);
        }
    }
    return a;
}

// Decodes one datagram into m. True when it is to be delivered; an answer
// due first (an inform's Response, a Report) is sent and counted here, and
// so is a drop (the security model counts the SNMPv3 ones itself).
bool accept(TrapReceiver& r, const TrapSessionState& s, const uint8_t* data, size_t size, ber::Message& m,
            const sockaddr_storage& from, SockLen fromLength)
{
    if (size > ber::kMaxDatagram) {
        stats().malformed++;
        return false;
    }
    if (snmpv3::messageVersion(data, size) == 3) {
        usm::Outcome outcome = security().receive(data, size, monotonicSeconds(), m, r.response);
        bool deliver = outcome == usm::Outcome::Deliver;
        if (!r.response.empty() && sendAnswer(r, s, from, fromLength)) {
            (deliver ? stats().informsAnswered : stats().reportsSent)++;
        }
        return deliver;
    }
    if (!ber::decodeMessage(data, size, m) ||
        (m.pduType != SNMP_KIND_TRAP_V1 && m.pduType != SNMP_KIND_INFORM && m.pduType != SNMP_KIND_TRAP_V2)) {
        stats().malformed++;
        return false;
    }
    // Answered before the program sees it: the program may take its time.
    if (m.pduType == SNMP_KIND_INFORM && ber::encodeResponse(m, r.response) &&
        sendAnswer(r, s, from, fromLength)) {
        stats().informsAnswered++;
    }
    return true;
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
        const sockaddr_storage& sender = r.batch.from(i);
        size_t n = r.batch.size(i);

        std::unique_ptr<PduRecord> record = takeRecord(r);
        if (!accept(r, *s, r.batch.bytes(i), n, record->message, sender, r.batch.fromLength(i))) {
            giveBack(r, std::move(record));
            continue;
        }
        buildPdu(*record, programAddress(sender));
        SnmpPdu* pdu = &record->pdu;
        r.live.push_back(std::move(record));
        stats().delivered++;

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

// Configures security() with what configureTrapSecurity read, once: the
// keys are derived and the engine's clock starts. False and the reason when
// the cryptographic library fails.
bool startTrapSecurity(std::string& error)
{
    PendingSecurity& p = pendingSecurity();
    if (!p.pending) {
        return true;
    }
    if (!usm::deriveKeys(p.users, error)) {
        return false;
    }
    if (p.engineId.empty()) {
        char host[256] = {};
#ifdef _WIN32
        DWORD size = sizeof host;
        GetComputerNameA(host, &size);
#else
        gethostname(host, sizeof host - 1);
#endif
        p.engineId = usm::engineIdFromHost(host);
    }
    security().configure(std::move(p.users), std::move(p.engineId), p.boots, monotonicSeconds());
    p = PendingSecurity{};
    return true;
}

}  // namespace

bool configureTrapSecurity(std::string& error)
{
    PendingSecurity next;
    std::string path = setting(Setting::UsmUsers);
    if (!path.empty() && !usm::readUsers(path, next.users, error)) {
        return false;
    }
    std::string idText = setting(Setting::EngineId);
    if (!idText.empty() && !usm::parseEngineId(idText, next.engineId)) {
        error = std::string(settingName(Setting::EngineId)) + ": \"" + idText + "\" is not an engine ID of " +
                std::to_string(usm::kMinEngineId) + " to " + std::to_string(usm::kMaxEngineId) + " bytes in hex";
        return false;
    }
    // Boots: the start's wall-clock second, so that it grows from one start
    // to the next without a file to keep it in.
    time_t now = time(nullptr);
    next.boots = now <= 0 ? 1 : now >= time_t(usm::kMaxBoots) ? usm::kMaxBoots - 1 : static_cast<uint32_t>(now);
    next.pending = true;
    pendingSecurity() = std::move(next);
    return true;
}

std::string loseTrapConnection()
{
    TrapReceiver& r = receiver();
    TrapSessionState* s = r.open.get();
    if (s == nullptr) {
        return "no trap session is open";
    }
    if (!s->connected) {
        return "the trap session's connection is already lost";
    }
    // Like a real loss: the port is closed at once and nothing more arrives,
    // whatever the program does with the news.
    stopReceiving(*s);
    setError(kConnectionLost, "the connection to the trap service was lost (trap port " + s->address + " closed)");
    s->callback(SNMP_KIND_LOST_CONNECTION, &s->session, nullptr, s->userData);
    return std::string();
}

}  // namespace simplatform

using simplatform::receiver;
using simplatform::TrapReceiver;
using simplatform::TrapSessionState;

// The node, application name and filter are accepted and not interpreted:
// the session receives every trap and inform that reaches the trap port.
SnmpSession* OVsnmpWEventOpen(const char* node, const char* application, OVsnmpCallback callback, void* user_data,
                              const char* filter)
{
    (void)node;
    (void)application;
    (void)filter;
    TrapReceiver& r = receiver();
    if (callback == nullptr) {
        simplatform::setError(simplatform::kNoCallback);
        return nullptr;
    }
    if (r.open) {
        simplatform::setError(simplatform::kSessionAlreadyOpen);
        return nullptr;
    }

    // The SNMPv3 keys are derived here, not before main: on Windows that
    // runs while the platform's DLL loads, where the cryptographic library
    // must not start.
    std::string securityFault;
    if (!simplatform::startTrapSecurity(securityFault)) {
        simplatform::setError(simplatform::kTrapPortUnavailable, "SNMPv3 security: " + securityFault);
        return nullptr;
    }

    auto s = std::make_unique<TrapSessionState>();
    s->address = simplatform::setting(simplatform::Setting::TrapAddr);
    s->callback = callback;
    s->userData = user_data;
    sockaddr_storage addr{};
    simplatform::SockLen addrLength = 0;
    std::string reason;
    if (!simplatform::parseSocketAddress(s->address, addr, addrLength, reason)) {
        simplatform::setError(simplatform::kTrapPortUnavailable, simplatform::trapPortFailure(s->address, reason));
        return nullptr;
    }
    s->socket = simplatform::bindDatagram(reinterpret_cast<const sockaddr*>(&addr), addrLength, reason);
    if (s->socket == simplatform::kNoSocket) {
        simplatform::setError(simplatform::kTrapPortUnavailable, simplatform::trapPortFailure(s->address, reason));
        return nullptr;
    }
    // A larger kernel buffer rides out bursts of traps; best effort.
    int bufferBytes = simplatform::kReceiveBufferBytes;
    setsockopt(s->socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferBytes), sizeof bufferBytes);

    simplatform::watchSocket(s->socket, [] { simplatform::onTrapSocketReadable(); });
    r.open = std::move(s);
    r.generation++;
    return &r.open->session;
}

int OVsnmpClose(SnmpSession* session)
{
    TrapReceiver& r = receiver();
    if (session == nullptr || !r.open || session != &r.open->session) {
        simplatform::setError(simplatform::kUnknownSession);
        return -1;
    }
    simplatform::stopReceiving(*r.open);
    r.open.reset();
    r.generation++;
    return 0;
}

int OVsnmpFreePdu(SnmpPdu* pdu)
{
    if (pdu == nullptr) {
        return 0;
    }
    TrapReceiver& r = receiver();
    // The most recent PDU is the one usually given back: search from the end.
    for (size_t i = r.live.size(); i-- > 0;) {
        if (&r.live[i]->pdu == pdu) {
            std::unique_ptr<simplatform::PduRecord> record = std::move(r.live[i]);
            r.live[i] = std::move(r.live.back());
            r.live.pop_back();
            simplatform::giveBack(r, std::move(record));
            return 0;
        }
    }
    simplatform::setError(simplatform::kUnknownPdu);
    return -1;
}

const char* OVsnmpErrString(int error)
{
    if (error >= 0 && error < simplatform::kErrorCodes) {
        const std::string& detail = simplatform::errorDetails()[error];
        return detail.empty() ? simplatform::kErrorTexts[error] : detail.c_str();
    }
    static char unknown[48];
    snprintf(unknown, sizeof unknown, "unknown SNMP library error %d", error);
    return unknown;
}

char* OVuint64ToStr(char* out, const SnmpCounter64* value, int base, int* status)
{
    if (out == nullptr) {
        if (status != nullptr) {
            *status = -1;
        }
        return nullptr;
    }
    if (value == nullptr || base < 2 || base > 36) {
        out[0] = '\0';
        if (status != nullptr) {
            *status = -1;
        }
        return out;
    }
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    uint64_t v = (static_cast<uint64_t>(value->high) << 32) | value->low;
    char reversed[65];  // 64 binary digits at most
    size_t n = 0;
    do {
        reversed[n++] = digits[v % static_cast<unsigned>(base)];
        v /= static_cast<unsigned>(base);
    } while (v != 0);
    for (size_t i = 0; i < n; ++i) {
        out[i] = reversed[n - 1 - i];
    }
    out[n] = '\0';
    if (status != nullptr) {
        *status = 0;
    }
    return out;
}
