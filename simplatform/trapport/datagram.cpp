// One received datagram: decoded (an SNMPv3 one through the security
// model), answered, counted, and built into the record the program is
// handed.
#include "datagram.h"

#include <string.h>

#include <vector>

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

// Sends answer() to the sender; true when the operating system took it.
bool sendAnswer(Socket socket, const sockaddr_storage& to, SockLen toLength)
{
    const std::vector<uint8_t>& a = answer();
    auto sent = sendto(socket, reinterpret_cast<const char*>(a.data()), static_cast<TransferLength>(a.size()), 0,
                       reinterpret_cast<const sockaddr*>(&to), toLength);
    return sent >= 0 && static_cast<size_t>(sent) == a.size();
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
        if (!answer().empty() && sendAnswer(socket, from, fromLength)) {
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
    if (m.pduType == SNMP_KIND_INFORM && ber::encodeResponse(m, answer()) &&
        sendAnswer(socket, from, fromLength)) {
        stats().informsAnswered++;
    }
    return true;
}

}  // namespace

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
