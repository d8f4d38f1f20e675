// One received datagram: decoded (an SNMPv3 one through the security
// model), answered, counted, and built into the record the program is
// handed.
#include "datagram.h"

#include <string.h>

#include <vector>

#include "../runtime/handover.h"
#include "../runtime/stats.h"
#include "../snmp/ber.h"
#include "../snmp/snmpv3.h"
#include "pdupool.h"
#include "trapsecurity.h"

namespace simplatform {
namespace {

// The answer to send; its capacity is kept from one datagram to the next.
std::vector<uint8_t>& answer()
{
    static auto* bytes = new std::vector<uint8_t>;
    return *bytes;
}

// Sends bytes to the sender; true when the operating system took them.
bool sendBytes(Socket socket, const std::vector<uint8_t>& bytes, const sockaddr_storage& to, SockLen toLength)
{
    auto sent = sendto(socket, reinterpret_cast<const char*>(bytes.data()),
                       static_cast<TransferLength>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                       toLength);
    return sent >= 0 && static_cast<size_t>(sent) == bytes.size();
}

bool sendAnswer(Socket socket, const sockaddr_storage& to, SockLen toLength)
{
    return sendBytes(socket, answer(), to, toLength);
}

// Responses held for the end of the turn. A turn reads one batch, so
// kDatagramBatch slots hold them all; made once, each keeps its capacity.
struct HeldAnswer {
    Socket socket = kNoSocket;
    sockaddr_storage to{};
    SockLen toLength = 0;
    std::vector<uint8_t> bytes;
};

struct HeldAnswers {
    std::vector<HeldAnswer> slots = std::vector<HeldAnswer>(static_cast<size_t>(kDatagramBatch));
    size_t used = 0;
};

HeldAnswers& heldAnswers()
{
    static auto* held = new HeldAnswers;
    return *held;
}

void sendHeldAnswers()
{
    HeldAnswers& held = heldAnswers();
    for (size_t i = 0; i < held.used; ++i) {
        const HeldAnswer& a = held.slots[i];
        if (sendBytes(a.socket, a.bytes, a.to, a.toLength)) {
            stats().informsAnswered++;
        }
    }
    held.used = 0;
}

// Holds answer() until the end of the turn: after the flush of what the
// turn stored (handover.h).
void holdAnswer(Socket socket, const sockaddr_storage& to, SockLen toLength)
{
    HeldAnswers& held = heldAnswers();
    if (held.used == held.slots.size()) {
        held.slots.emplace_back();
    }
    HeldAnswer& slot = held.slots[held.used++];
    slot.socket = socket;
    slot.to = to;
    slot.toLength = toLength;
    slot.bytes.assign(answer().begin(), answer().end());
    flushAtTurnEnd();
    atTurnEnd(sendHeldAnswers, TurnPhase::Answer);
}

// An inform's Response: held while the turn's changes are to be flushed
// first, otherwise sent now. True when it was sent now.
bool answerInform(Socket socket, const sockaddr_storage& to, SockLen toLength)
{
    if (turnFlushSet()) {
        holdAnswer(socket, to, toLength);
        return false;
    }
    return sendAnswer(socket, to, toLength);
}

// Decodes one datagram into m. True when it is to be delivered; an answer
// due first (an inform's Response, a Report) is sent and counted here, and
// so is a drop (the security model counts the SNMPv3 ones itself).
bool accept(Socket socket, const uint8_t* data, size_t size, ber::Message& m, const sockaddr_storage& from,
            SockLen fromLength)
{
    if (size > ber::kMaxDatagram) {
        stats().malformed++;
        return false;
    }
    if (snmpv3::messageVersion(data, size) == 3) {
        bool deliver = receiveSecured(data, size, m, answer()) == usm::Outcome::Deliver;
        if (answer().empty()) {
            return deliver;
        }
        if (deliver ? answerInform(socket, from, fromLength) : sendAnswer(socket, from, fromLength)) {
            (deliver ? stats().informsAnswered : stats().reportsSent)++;
        }
        return deliver;
    }
    if (!ber::decodeMessage(data, size, m) ||
        (m.pduType != SNMP_KIND_TRAP_V1 && m.pduType != SNMP_KIND_INFORM && m.pduType != SNMP_KIND_TRAP_V2)) {
        stats().malformed++;
        return false;
    }
    // Answered before the program sees it (the program may take its time),
    // or at the end of the turn once its changes are stored.
    if (m.pduType == SNMP_KIND_INFORM && ber::encodeResponse(m, answer()) &&
        answerInform(socket, from, fromLength)) {
        stats().informsAnswered++;
    }
    return true;
}

}  // namespace

void dropHeldAnswers()
{
    heldAnswers().used = 0;
}

bool takesMappedIpv4(Socket socket)
{
    sockaddr_storage bound{};
    SockLen length = sizeof bound;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0 || bound.ss_family != AF_INET6) {
        return false;
    }
    int v6only = 1;
    SockLen optionLength = sizeof v6only;
    return getsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&v6only), &optionLength) == 0 &&
           v6only == 0;
}

// An address of the IPv4-mapped form (::ffff:a.b.c.d) is an IPv4 sender's
// only on a socket that takes IPv4: elsewhere it is an IPv6 sender's (one
// that could otherwise pass for any IPv4 host).
sockaddr_in programAddress(const sockaddr_storage& from, bool dualStack)
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
        if (dualStack && memcmp(&v6.sin6_addr, kMapped, sizeof kMapped) == 0) {
            a.sin_family = AF_INET;
            memcpy(&a.sin_addr, reinterpret_cast<const uint8_t*>(&v6.sin6_addr) + 12, 4);
        }
    }
    return a;
}

std::unique_ptr<PduRecord> receiveDatagram(Socket socket, bool dualStack, const uint8_t* data, size_t size,
                                           const sockaddr_storage& from, SockLen fromLength)
{
    std::unique_ptr<PduRecord> record = takePduRecord();
    if (!accept(socket, data, size, record->message, from, fromLength)) {
        returnPduRecord(std::move(record));
        return nullptr;
    }
    buildPdu(*record, programAddress(from, dualStack));
    stats().delivered++;
    return record;
}

}  // namespace simplatform
