// BER for the trap receiver: a strict, bounded decoder of the SNMP messages
// it accepts (berdecode.cpp) and the encoder of the Response-PDU that
// answers an inform (berencode.cpp).
//
// Accepted messages (one datagram each, nothing after the message):
//   version 0 (SNMPv1)  with a Trap-PDU (0xA4) or a Response-PDU (0xA2);
//   version 1 (SNMPv2c) with an InformRequest (0xA6), an SNMPv2-Trap (0xA7)
//   or a Response-PDU (0xA2).
// The receiver delivers 0xA4, 0xA6 and 0xA7 only; the decoder also takes
// 0xA2 so that the Response it sends can be read back.
//
// The limits are listed in README.md ("Decoder limits") and below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../../platform/ovsnmp.h"
#include "faulttext.h"

namespace simplatform {
namespace ber {

// ---- limits ----
constexpr size_t kMaxDatagram = 65535;  // bytes in one message
inline constexpr auto kLongDatagram = faultText<kMaxDatagram>("datagram longer than ", " bytes");
constexpr size_t kMaxLengthBytes = 4;       // bytes after a long-form length's first byte
constexpr size_t kMaxSubIdentifiers = 128;  // per OBJECT IDENTIFIER (the first byte counts as two)
constexpr size_t kMaxBindings = 512;        // per PDU
// Nesting needs no limit of its own: it is fixed by the message's shape
// (message, PDU, binding list and binding are the only constructed
// elements), and every value is primitive, so a constructed value is
// malformed.

// ---- tags ----
// The tags of the delivered PDUs are their kinds: SNMP_KIND_TRAP_V1 (0xA4),
// SNMP_KIND_INFORM (0xA6), SNMP_KIND_TRAP_V2 (0xA7).
// The other PDUs an SNMPv3 message may carry, and the SEQUENCE.
constexpr uint8_t kTagGet = 0xA0;
constexpr uint8_t kTagGetNext = 0xA1;
constexpr uint8_t kTagResponse = 0xA2;
constexpr uint8_t kTagSet = 0xA3;
constexpr uint8_t kTagGetBulk = 0xA5;
constexpr uint8_t kTagReport = 0xA8;
constexpr uint8_t kTagSequence = 0x30;

// How a value of each accepted type is read, kept and written; the one table
// of value types in berdecode.cpp gives each tag its form.
enum class ValueForm : uint8_t {
    Signed32,    // INTEGER
    Unsigned32,  // Counter, Gauge, TimeTicks
    Unsigned64,  // Counter64
    ObjectId,    // OBJECT IDENTIFIER
    Address,     // IpAddress
    Empty,       // NULL, noSuchObject, noSuchInstance, endOfMibView
    Bytes,       // OCTET STRING, Opaque, other primitive application types
    Refused      // any other tag: malformed
};
ValueForm valueForm(uint8_t tag);

// One variable binding of a decoded message. Where its value is kept depends
// on its form:
//   Signed32, Unsigned32   words[valueOffset], valueLength 4
//   ObjectId               words[valueOffset...], valueLength sub-identifiers
//   Unsigned64             counters[valueOffset], valueLength 8
//   Address, Bytes         bytes[valueOffset...], valueLength bytes
//   Empty                  nowhere, valueLength 0
struct Binding {
    uint32_t nameOffset = 0;  // sub-identifiers in words
    uint32_t nameLength = 0;
    uint8_t type = 0;  // the value's BER tag
    uint32_t valueOffset = 0;
    uint32_t valueLength = 0;
};

// A decoded message. Every text, identifier and value is copied out of the
// datagram, so the message outlives the receive buffer. clear() keeps the
// containers' capacity: a message reused for the next datagram allocates
// nothing once it has seen one as large.
struct Message {
    int32_t version = 0;           // 0 = SNMPv1, 1 = SNMPv2c
    uint8_t pduType = 0;           // the PDU's tag
    uint32_t communityOffset = 0;  // bytes
    uint32_t communityLength = 0;
    // Response, InformRequest, SNMPv2-Trap
    int32_t requestId = 0;
    int32_t errorStatus = 0;
    int32_t errorIndex = 0;
    // SNMPv1 Trap-PDU
    uint32_t enterpriseOffset = 0;  // words
    uint32_t enterpriseLength = 0;
    uint8_t agentAddr[4] = {0, 0, 0, 0};
    int32_t genericTrap = 0;
    int32_t specificTrap = 0;
    uint32_t timeStamp = 0;

    std::vector<Binding> bindings;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> words;
    std::vector<SnmpCounter64> counters;

    void clear();
};

// Decodes one datagram into out. On a malformed datagram, or one of another
// version or PDU type, returns false, leaves out cleared and, when why is
// given, sets it to a static text naming the first fault.
//
// An InformRequest or SNMPv2-Trap must begin with the bindings sysUpTime.0
// (TimeTicks) and snmpTrapOID.0 (OBJECT IDENTIFIER); one that does not is
// malformed, since it carries no notification to deliver.
bool decodeMessage(const uint8_t* data, size_t size, Message& out, const char** why = nullptr);

// Encodes the Response-PDU answering m into out (replacing its contents):
// same version, community, request id and bindings, error status and error
// index 0, every length and integer in its shortest form. False when the
// result would be longer than kMaxDatagram.
bool encodeResponse(const Message& m, std::vector<uint8_t>& out);

// True when the identifier of length sub-identifiers at words is oid.
template <size_t N> bool sameOid(const uint32_t* words, uint32_t length, const uint32_t (&oid)[N])
{
    return length == N && std::memcmp(words, oid, sizeof oid) == 0;
}

// ---- the pieces the SNMPv3 message layer (snmpv3.cpp) reads and writes with ----

// Bytes from p up to end: what is left of one element's content.
struct Cursor {
    const uint8_t* p;
    const uint8_t* end;
    size_t left() const { return static_cast<size_t>(end - p); }
    bool empty() const { return p == end; }
};

// Each returns null, or the first fault as a static text.
// One element's tag and length at c, its content inside c; moves c past it.
const char* readElement(Cursor& c, uint8_t& tag, Cursor& content);
// The same for an element that must carry tag (wrongTag otherwise).
const char* readTagged(Cursor& c, uint8_t tag, Cursor& content, const char* wrongTag);
// An INTEGER's content of 1 to 4 bytes, shortest form.
const char* readSigned32(const Cursor& c, int32_t& value);
// One PDU of the request form (request id, two integers, bindings) at c:
// Get, GetNext, Response, Set, GetBulk, InformRequest, SNMPv2-Trap, Report.
// Its type, fields and bindings go into m (which the caller cleared); a
// notification must begin with sysUpTime.0 and snmpTrapOID.0.
const char* readPdu(Cursor& c, Message& m);

// Appends the PDU answering m, with tag (Response or Report): m's request
// id, error status and index 0, m's bindings. False when it would make out
// longer than kMaxDatagram.
bool appendAnswerPdu(const Message& m, uint8_t tag, std::vector<uint8_t>& out);
// Appends an element header, an INTEGER, an OCTET STRING.
void appendHeader(std::vector<uint8_t>& out, uint8_t tag, size_t length);
void appendInteger(std::vector<uint8_t>& out, int64_t value);
void appendOctets(std::vector<uint8_t>& out, const uint8_t* data, size_t length);

}  // namespace ber
}  // namespace simplatform
