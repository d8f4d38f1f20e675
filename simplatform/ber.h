// BER for the trap receiver: a strict, bounded decoder of the SNMP messages
// it accepts, the encoder of the Response-PDU that answers an inform, and the
// building of the SnmpPdu record that the program is handed.
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
#include <vector>

#include "../platform/ovsnmp.h"

namespace simplatform {
namespace ber {

// ---- limits ----
constexpr size_t kMaxDatagram = 65535;      // bytes in one message
constexpr size_t kMaxLengthBytes = 4;       // bytes after a long-form length's first byte
constexpr size_t kMaxSubIdentifiers = 128;  // per OBJECT IDENTIFIER (the first byte counts as two)
constexpr size_t kMaxBindings = 512;        // per PDU
// Nesting is fixed by the message's shape: message, PDU, binding list and
// binding are the only constructed elements (depth 4); every value is
// primitive, so a constructed value is malformed.
constexpr int kNestingDepth = 4;

// ---- PDU tags ----
enum : uint8_t {
    kTagGet = 0xA0,
    kTagGetNext = 0xA1,
    kTagResponse = 0xA2,
    kTagSet = 0xA3,
    kTagTrapV1 = 0xA4,
    kTagGetBulk = 0xA5,
    kTagInform = 0xA6,
    kTagTrapV2 = 0xA7,
    kTagReport = 0xA8
};

// One variable binding of a decoded message. Where its value is kept depends
// on its type:
//   INTEGER, Counter, Gauge, TimeTicks   words[valueOffset], valueLength 4
//   OBJECT IDENTIFIER                    words[valueOffset...], valueLength sub-identifiers
//   Counter64                            counters[valueOffset], valueLength 8
//   OCTET STRING, Opaque, IpAddress and
//   other primitive application types    bytes[valueOffset...], valueLength bytes
//   NULL, noSuchObject, noSuchInstance,
//   endOfMibView                         nowhere, valueLength 0
struct Binding {
    uint32_t nameOffset = 0;   // sub-identifiers in words
    uint32_t nameLength = 0;
    uint8_t type = 0;          // the value's BER tag
    uint32_t valueOffset = 0;
    uint32_t valueLength = 0;
};

// A decoded message. Every text, identifier and value is copied out of the
// datagram, so the message outlives the receive buffer. clear() keeps the
// containers' capacity: a message reused for the next datagram allocates
// nothing once it has seen one as large.
struct Message {
    int32_t version = 0;            // 0 = SNMPv1, 1 = SNMPv2c
    uint8_t pduType = 0;            // kTag...
    uint32_t communityOffset = 0;   // bytes
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

// One PDU handed to the program: the record and everything it points into.
// The record must not move once built (it is allocated on its own).
struct PduRecord {
    SnmpPdu pdu{};
    Message message;
    std::vector<SnmpVarBind> varbinds;
    std::vector<uint32_t> derived;   // an SNMPv1 trap's notify_oid
};

// Fills record.pdu from record.message, decoded from a datagram of sender:
//   every PDU: address = sender, command = PDU tag, version, community;
//   SNMPv1 trap: enterprise, agent_addr, generic_type, specific_type and
//     time_stamp from the Trap-PDU, variables = all bindings, notify_oid =
//     enterprise.0.specific for generic 6, else 1.3.6.1.6.3.1.1.5.(generic+1);
//   inform and SNMPv2 trap: request_id, error_status, error_index;
//     time_stamp = sysUpTime.0, notify_oid = snmpTrapOID.0, enterprise =
//     snmpTrapEnterprise.0 when a later binding carries it, otherwise
//     notify_oid less its last sub-identifier and less a 0 then left at its
//     end; agent_addr = snmpTrapAddress.0 when a later binding carries it,
//     otherwise the sender's address; variables = the bindings after the
//     first two; generic_type and specific_type as an SNMPv1 trap of the
//     same identifier would have them (a standard trap 1.3.6.1.6.3.1.1.5.N:
//     N-1 and 0; any other: 6 and the last sub-identifier);
//   Response: request_id, error_status, error_index, variables = all.
// Pointers into the message are valid until the record is reused.
void buildPdu(PduRecord& record, const sockaddr_in& sender);

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
