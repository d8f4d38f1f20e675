// Strict BER decoding of the SNMP messages the trap receiver accepts, and
// of the PDU inside an SNMPv3 ScopedPDU.
//
// The decoder reads the message by its shape: every element's header is
// checked against the element that encloses it before its content is read,
// every enclosing element must be used up exactly, and each reading routine
// returns the first fault it meets as a static text (null when all is well).
// decodeMessage is the one place where a fault ends the decoding.
#include <cstring>

#include "ber.h"

namespace simplatform {
namespace ber {

namespace {

struct ValueType {
    uint8_t tag;
    ValueForm form;
};

// Every value type the codec reads and writes by its own rules.
const ValueType kValueTypes[] = {
    {SNMP_TYPE_INTEGER, ValueForm::Signed32},
    {SNMP_TYPE_OCTET_STRING, ValueForm::Bytes},
    {SNMP_TYPE_NULL, ValueForm::Empty},
    {SNMP_TYPE_OBJECT_ID, ValueForm::ObjectId},
    {SNMP_TYPE_IPADDRESS, ValueForm::Address},
    {SNMP_TYPE_COUNTER, ValueForm::Unsigned32},
    {SNMP_TYPE_GAUGE, ValueForm::Unsigned32},
    {SNMP_TYPE_TIMETICKS, ValueForm::Unsigned32},
    {SNMP_TYPE_COUNTER64, ValueForm::Unsigned64},
    {SNMP_TYPE_NO_SUCH_OBJECT, ValueForm::Empty},
    {SNMP_TYPE_NO_SUCH_INSTANCE, ValueForm::Empty},
    {SNMP_TYPE_END_OF_MIB_VIEW, ValueForm::Empty},
};

}  // namespace

constexpr auto kLongLength = faultText<kMaxLengthBytes>("length of more than ", " bytes");
constexpr auto kLongOid = faultText<kMaxSubIdentifiers>("more than ", " sub-identifiers");
constexpr auto kManyBindings = faultText<kMaxBindings>("more than ", " bindings");

#define TRY(step)                        \
    do {                                 \
        if (const char* fault_ = (step)) \
            return fault_;               \
    } while (0)

// Reads one element's tag and length at c, checks that its content lies
// inside c, and moves c past the element.
const char* readElement(Cursor& c, uint8_t& tag, Cursor& content)
{
    if (c.left() < 2) {
        return "element header cut short";
    }
    tag = c.p[0];
    if ((tag & 0x1F) == 0x1F) {
        return "multi-byte tag";
    }
    uint8_t first = c.p[1];
    c.p += 2;
    size_t length = first;
    if (first & 0x80) {
        size_t count = first & 0x7F;
        if (count == 0) {
            return "indefinite length";
        }
        if (count > kMaxLengthBytes) {
            return kLongLength.text;
        }
        if (c.left() < count) {
            return "length cut short";
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | c.p[i];
        }
        c.p += count;
    }
    if (length > c.left()) {
        return "length beyond its enclosing element";
    }
    content.p = c.p;
    content.end = c.p + length;
    c.p += length;
    return nullptr;
}

// Reads one element that must carry tag.
const char* readTagged(Cursor& c, uint8_t tag, Cursor& content, const char* wrongTag)
{
    uint8_t actual = 0;
    TRY(readElement(c, actual, content));
    return actual == tag ? nullptr : wrongTag;
}

namespace {

// Two's complement content in its shortest form: the first nine bits are
// neither all zeros nor all ones.
const char* checkShortestInteger(const Cursor& c)
{
    if (c.empty()) {
        return "integer without content";
    }
    if (c.left() > 1 && ((c.p[0] == 0x00 && !(c.p[1] & 0x80)) || (c.p[0] == 0xFF && (c.p[1] & 0x80)))) {
        return "integer not in its shortest form";
    }
    return nullptr;
}

}  // namespace

const char* readSigned32(const Cursor& c, int32_t& value)
{
    TRY(checkShortestInteger(c));
    if (c.left() > 4) {
        return "INTEGER wider than 32 bits";
    }
    uint32_t v = (c.p[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (const uint8_t* b = c.p; b != c.end; ++b) {
        v = (v << 8) | *b;
    }
    value = static_cast<int32_t>(v);
    return nullptr;
}

namespace {

// An unsigned type of width bytes (4 or 8): non-negative, at most width
// bytes, or width + 1 with a leading 0x00.
const char* readUnsigned(const Cursor& c, size_t width, uint64_t& value)
{
    TRY(checkShortestInteger(c));
    if (c.p[0] & 0x80) {
        return "negative value of an unsigned type";
    }
    if (c.left() > width + 1 || (c.left() == width + 1 && c.p[0] != 0x00)) {
        return "unsigned value wider than its type";
    }
    uint64_t v = 0;
    for (const uint8_t* b = c.p; b != c.end; ++b) {
        v = (v << 8) | *b;
    }
    value = v;
    return nullptr;
}

const char* readUnsigned32(const Cursor& c, uint32_t& value)
{
    uint64_t v = 0;
    TRY(readUnsigned(c, 4, v));
    value = static_cast<uint32_t>(v);
    return nullptr;
}

// Appends the sub-identifiers of an OBJECT IDENTIFIER's content to words.
const char* readOid(const Cursor& c, std::vector<uint32_t>& words, uint32_t& offset, uint32_t& count)
{
    if (c.empty()) {
        return "empty OBJECT IDENTIFIER";
    }
    offset = static_cast<uint32_t>(words.size());
    count = 0;
    const uint8_t* p = c.p;
    while (p != c.end) {
        if (*p == 0x80) {
            return "sub-identifier with a leading 0x80 group";
        }
        uint64_t v = 0;
        size_t groups = 0;
        for (;;) {
            if (p == c.end) {
                return "sub-identifier cut short";
            }
            if (++groups > 5) {
                return "sub-identifier wider than 32 bits";
            }
            uint8_t b = *p++;
            v = (v << 7) | (b & 0x7F);
            if (!(b & 0x80)) {
                break;
            }
        }
        if (count == 0) {
            // The first group holds the first two arcs as 40 * X + Y; the
            // 32-bit limit applies to Y, so the group itself may be wider.
            uint32_t x = v < 40 ? 0 : (v < 80 ? 1 : 2);
            if (v - uint64_t{40} * x > 0xFFFFFFFFu) {
                return "sub-identifier wider than 32 bits";
            }
            words.push_back(x);
            words.push_back(static_cast<uint32_t>(v - uint64_t{40} * x));
            count = 2;
        } else {
            if (v > 0xFFFFFFFFu) {
                return "sub-identifier wider than 32 bits";
            }
            if (count == kMaxSubIdentifiers) {
                return kLongOid.text;
            }
            words.push_back(static_cast<uint32_t>(v));
            ++count;
        }
    }
    return nullptr;
}

uint32_t appendBytes(std::vector<uint8_t>& bytes, const Cursor& c)
{
    uint32_t offset = static_cast<uint32_t>(bytes.size());
    bytes.insert(bytes.end(), c.p, c.end);
    return offset;
}

const char* readValue(uint8_t tag, const Cursor& c, Message& m, Binding& b)
{
    b.type = tag;
    switch (valueForm(tag)) {
    case ValueForm::Signed32: {
        int32_t v = 0;
        TRY(readSigned32(c, v));
        b.valueOffset = static_cast<uint32_t>(m.words.size());
        b.valueLength = 4;
        m.words.push_back(static_cast<uint32_t>(v));
        return nullptr;
    }
    case ValueForm::Unsigned32: {
        uint32_t v = 0;
        TRY(readUnsigned32(c, v));
        b.valueOffset = static_cast<uint32_t>(m.words.size());
        b.valueLength = 4;
        m.words.push_back(v);
        return nullptr;
    }
    case ValueForm::Unsigned64: {
        uint64_t v = 0;
        TRY(readUnsigned(c, 8, v));
        b.valueOffset = static_cast<uint32_t>(m.counters.size());
        b.valueLength = 8;
        m.counters.push_back(SnmpCounter64{static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)});
        return nullptr;
    }
    case ValueForm::ObjectId:
        return readOid(c, m.words, b.valueOffset, b.valueLength);
    case ValueForm::Address:
        if (c.left() != 4) {
            return "IpAddress not of 4 bytes";
        }
        b.valueOffset = appendBytes(m.bytes, c);
        b.valueLength = 4;
        return nullptr;
    case ValueForm::Empty:
        if (!c.empty()) {
            return "NULL or exception value with content";
        }
        b.valueOffset = 0;
        b.valueLength = 0;
        return nullptr;
    case ValueForm::Bytes:
        b.valueOffset = appendBytes(m.bytes, c);
        b.valueLength = static_cast<uint32_t>(c.left());
        return nullptr;
    case ValueForm::Refused:
        break;
    }
    return "value of a type not accepted";
}

const char* readBindings(Cursor& pdu, Message& m)
{
    Cursor list{};
    TRY(readTagged(pdu, kTagSequence, list, "binding list is not a SEQUENCE"));
    while (!list.empty()) {
        if (m.bindings.size() == kMaxBindings) {
            return kManyBindings.text;
        }
        Cursor binding{}, name{}, value{};
        uint8_t tag = 0;
        TRY(readTagged(list, kTagSequence, binding, "binding is not a SEQUENCE"));
        TRY(readTagged(binding, SNMP_TYPE_OBJECT_ID, name, "binding name is not an OBJECT IDENTIFIER"));
        TRY(readElement(binding, tag, value));
        if (!binding.empty()) {
            return "bytes after a binding's value";
        }
        Binding b;
        TRY(readOid(name, m.words, b.nameOffset, b.nameLength));
        TRY(readValue(tag, value, m, b));
        m.bindings.push_back(b);
    }
    return nullptr;
}

// request-id, error-status, error-index, bindings.
const char* readRequestPdu(Cursor& pdu, Message& m)
{
    Cursor field{};
    TRY(readTagged(pdu, SNMP_TYPE_INTEGER, field, "request id is not an INTEGER"));
    TRY(readSigned32(field, m.requestId));
    TRY(readTagged(pdu, SNMP_TYPE_INTEGER, field, "error status is not an INTEGER"));
    TRY(readSigned32(field, m.errorStatus));
    TRY(readTagged(pdu, SNMP_TYPE_INTEGER, field, "error index is not an INTEGER"));
    TRY(readSigned32(field, m.errorIndex));
    return readBindings(pdu, m);
}

// enterprise, agent-addr, generic-trap, specific-trap, time-stamp, bindings.
const char* readTrapV1Pdu(Cursor& pdu, Message& m)
{
    Cursor field{};
    TRY(readTagged(pdu, SNMP_TYPE_OBJECT_ID, field, "enterprise is not an OBJECT IDENTIFIER"));
    TRY(readOid(field, m.words, m.enterpriseOffset, m.enterpriseLength));
    TRY(readTagged(pdu, SNMP_TYPE_IPADDRESS, field, "agent address is not an IpAddress"));
    if (field.left() != 4) {
        return "IpAddress not of 4 bytes";
    }
    std::memcpy(m.agentAddr, field.p, 4);
    TRY(readTagged(pdu, SNMP_TYPE_INTEGER, field, "generic trap is not an INTEGER"));
    TRY(readSigned32(field, m.genericTrap));
    if (m.genericTrap < 0 || m.genericTrap > 6) {
        return "generic trap outside 0 to 6";
    }
    TRY(readTagged(pdu, SNMP_TYPE_INTEGER, field, "specific trap is not an INTEGER"));
    TRY(readSigned32(field, m.specificTrap));
    TRY(readTagged(pdu, SNMP_TYPE_TIMETICKS, field, "time stamp is not TimeTicks"));
    TRY(readUnsigned32(field, m.timeStamp));
    return readBindings(pdu, m);
}

const uint32_t kSysUpTime0[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const uint32_t kSnmpTrapOid0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

template <size_t N> bool nameIs(const Message& m, const Binding& b, const uint32_t (&oid)[N])
{
    return sameOid(m.words.data() + b.nameOffset, b.nameLength, oid);
}

const char* checkNotification(const Message& m)
{
    if (m.bindings.size() < 2 || !nameIs(m, m.bindings[0], kSysUpTime0) ||
        m.bindings[0].type != SNMP_TYPE_TIMETICKS || !nameIs(m, m.bindings[1], kSnmpTrapOid0) ||
        m.bindings[1].type != SNMP_TYPE_OBJECT_ID) {
        return "notification does not begin with sysUpTime.0 and snmpTrapOID.0";
    }
    return nullptr;
}

const char* readMessage(Cursor all, Message& m)
{
    Cursor message{}, field{}, pdu{};
    TRY(readTagged(all, kTagSequence, message, "message is not a SEQUENCE"));
    if (!all.empty()) {
        return "bytes after the message";
    }
    TRY(readTagged(message, SNMP_TYPE_INTEGER, field, "version is not an INTEGER"));
    TRY(readSigned32(field, m.version));
    if (m.version != 0 && m.version != 1) {
        return "version other than SNMPv1 and SNMPv2c";
    }
    TRY(readTagged(message, SNMP_TYPE_OCTET_STRING, field, "community is not an OCTET STRING"));
    m.communityOffset = appendBytes(m.bytes, field);
    m.communityLength = static_cast<uint32_t>(field.left());
    TRY(readElement(message, m.pduType, pdu));
    switch (m.pduType) {
    case SNMP_KIND_TRAP_V1:
        if (m.version != 0) {
            return "SNMPv1 Trap-PDU in an SNMPv2c message";
        }
        TRY(readTrapV1Pdu(pdu, m));
        break;
    case SNMP_KIND_INFORM:
    case SNMP_KIND_TRAP_V2:
        if (m.version != 1) {
            return "SNMPv2 notification in an SNMPv1 message";
        }
        TRY(readRequestPdu(pdu, m));
        TRY(checkNotification(m));
        break;
    case kTagResponse:
        TRY(readRequestPdu(pdu, m));
        break;
    default:
        return "PDU type not accepted";
    }
    if (!pdu.empty()) {
        return "bytes after the binding list";
    }
    if (!message.empty()) {
        return "bytes after the PDU";
    }
    return nullptr;
}

}  // namespace

void Message::clear()
{
    version = 0;
    pduType = 0;
    communityOffset = communityLength = 0;
    requestId = errorStatus = errorIndex = 0;
    enterpriseOffset = enterpriseLength = 0;
    std::memset(agentAddr, 0, sizeof agentAddr);
    genericTrap = specificTrap = 0;
    timeStamp = 0;
    bindings.clear();
    bytes.clear();
    words.clear();
    counters.clear();
}

bool decodeMessage(const uint8_t* data, size_t size, Message& out, const char** why)
{
    out.clear();
    const char* fault = nullptr;
    if (!data || size == 0) {
        fault = "empty datagram";
    } else if (size > kMaxDatagram) {
        fault = kLongDatagram.text;
    } else {
        fault = readMessage(Cursor{data, data + size}, out);
    }
    if (why) {
        *why = fault;
    }
    if (!fault) {
        return true;
    }
    out.clear();
    return false;
}

const char* readPdu(Cursor& c, Message& m)
{
    Cursor pdu{};
    TRY(readElement(c, m.pduType, pdu));
    switch (m.pduType) {
    case kTagGet:
    case kTagGetNext:
    case kTagResponse:
    case kTagSet:
    case kTagGetBulk:
    case SNMP_KIND_INFORM:
    case SNMP_KIND_TRAP_V2:
    case kTagReport:
        break;
    default:
        return "PDU type not accepted";
    }
    TRY(readRequestPdu(pdu, m));
    if (m.pduType == SNMP_KIND_INFORM || m.pduType == SNMP_KIND_TRAP_V2) {
        TRY(checkNotification(m));
    }
    if (!pdu.empty()) {
        return "bytes after the binding list";
    }
    return nullptr;
}

ValueForm valueForm(uint8_t tag)
{
    for (const ValueType& type : kValueTypes) {
        if (type.tag == tag) {
            return type.form;
        }
    }
    // Opaque and every other primitive application type (NsapAddress,
    // UInteger32, ...) are kept as their bytes.
    return (tag & 0xE0) == 0x40 ? ValueForm::Bytes : ValueForm::Refused;
}

}  // namespace ber
}  // namespace simplatform
