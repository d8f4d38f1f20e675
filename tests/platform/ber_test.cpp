// The trap receiver's BER decoder, Response encoder and PDU records, on
// datagrams captured from net-snmp's snmptrap and snmpinform
// (tests/data/packets/capture.py) and on crafted faulty ones.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "simplatform/snmp/ber.h"
#include "simplatform/snmp/pdurecord.h"

using simplatform::buildPdu;
using simplatform::PduRecord;
using simplatform::ber::decodeMessage;
using simplatform::ber::encodeResponse;
using simplatform::ber::Message;

namespace {

using Bytes = std::vector<uint8_t>;
using Oid = std::vector<uint32_t>;

Bytes readPacket(const std::string& name)
{
    std::ifstream in(std::string(KELVOROV_TEST_DATA) + "/packets/" + name + ".bin", std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char* const kCaptured[] = {"v2trap_powerfail",  "v2trap_types",     "v2trap_enterprise_address",
                                 "v1trap_enterprise", "v1trap_coldstart", "v2inform"};

sockaddr_in sender()
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5000);
    a.sin_addr.s_addr = htonl(0x7F000009);  // 127.0.0.9
    return a;
}

// Decodes and builds the record the program would be handed.
bool decodePdu(const Bytes& data, PduRecord& record, const char** why = nullptr)
{
    if (!decodeMessage(data.data(), data.size(), record.message, why)) {
        return false;
    }
    buildPdu(record, sender());
    return true;
}

Oid oidOf(const uint32_t* words, uint32_t count)
{
    return words ? Oid(words, words + count) : Oid{};
}

std::string text(const uint8_t* bytes, uint32_t length)
{
    return std::string(bytes, bytes + length);
}

uint32_t addressOf(const in_addr& a)
{
    return ntohl(a.s_addr);
}

std::vector<const SnmpVarBind*> variables(const SnmpPdu& pdu)
{
    std::vector<const SnmpVarBind*> list;
    for (const SnmpVarBind* v = pdu.variables; v != nullptr && list.size() < 1000; v = v->next) {
        list.push_back(v);
    }
    return list;
}

const Oid kUps = {1, 3, 6, 1, 4, 1, 935};
Oid upsOid(std::initializer_list<uint32_t> tail)
{
    Oid o = kUps;
    o.insert(o.end(), tail);
    return o;
}

// ---- crafting ----

Bytes lengthBytes(size_t n)
{
    if (n < 0x80)
        return {static_cast<uint8_t>(n)};
    Bytes b;
    for (size_t l = n; l; l >>= 8)
        b.insert(b.begin(), static_cast<uint8_t>(l));
    b.insert(b.begin(), static_cast<uint8_t>(0x80 | b.size()));
    return b;
}

Bytes tlv(uint8_t tag, const Bytes& content)
{
    Bytes b{tag};
    Bytes l = lengthBytes(content.size());
    b.insert(b.end(), l.begin(), l.end());
    b.insert(b.end(), content.begin(), content.end());
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

void appendBase128(Bytes& b, uint64_t v)
{
    Bytes groups{static_cast<uint8_t>(v & 0x7F)};
    while (v >>= 7)
        groups.insert(groups.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
    b.insert(b.end(), groups.begin(), groups.end());
}

Bytes oidContent(const Oid& o)
{
    Bytes b;
    appendBase128(b, uint64_t(o[0]) * 40 + o[1]);
    for (size_t i = 2; i < o.size(); ++i)
        appendBase128(b, o[i]);
    return b;
}

Bytes oid(const Oid& o)
{
    return tlv(0x06, oidContent(o));
}
Bytes integer(uint8_t v)
{
    return tlv(0x02, {v});
}
Bytes binding(const Bytes& name, const Bytes& value)
{
    return tlv(0x30, cat({name, value}));
}

const Bytes kUpTime = binding(oid({1, 3, 6, 1, 2, 1, 1, 3, 0}), tlv(0x43, {0x30, 0x39}));
const Bytes kTrapOid = binding(oid({1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0}), oid(upsOid({0, 5})));

// An SNMPv2c message around pduContent.
Bytes v2Message(uint8_t pduTag, const Bytes& pduContent)
{
    return tlv(0x30, cat({integer(1), tlv(0x04, {'p', 'u', 'b'}), tlv(pduTag, pduContent)}));
}

// An SNMPv2-Trap whose bindings follow the two standard ones.
Bytes v2Trap(const Bytes& moreBindings)
{
    return v2Message(0xA7,
                     cat({integer(7), integer(0), integer(0), tlv(0x30, cat({kUpTime, kTrapOid, moreBindings}))}));
}

Bytes v2TrapWithValue(const Bytes& value)
{
    return v2Trap(binding(oid(upsOid({1, 1})), value));
}

}  // namespace

// ---- captured packets, field by field ----

TEST(BerCaptured, SnmpV2TrapWithoutVariables)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(readPacket("v2trap_powerfail"), r));
    const SnmpPdu& p = r.pdu;
    EXPECT_EQ(p.version, 1);
    EXPECT_EQ(p.command, 0xA7);
    EXPECT_EQ(text(p.community, p.community_len), "public");
    EXPECT_EQ(static_cast<uint32_t>(p.request_id), 0x5ACE21D7u);
    EXPECT_EQ(p.time_stamp, 12345u);
    EXPECT_EQ(oidOf(p.notify_oid, p.notify_oid_length), upsOid({0, 5}));
    // Enterprise: the identifier less its last sub-identifier and the 0.
    EXPECT_EQ(oidOf(p.enterprise, p.enterprise_length), kUps);
    EXPECT_EQ(addressOf(p.agent_addr), 0x7F000009u) << "the sender, lacking snmpTrapAddress.0";
    EXPECT_EQ(p.address.sin_family, AF_INET);
    EXPECT_EQ(addressOf(p.address.sin_addr), 0x7F000009u);
    EXPECT_EQ(ntohs(p.address.sin_port), 5000);
    EXPECT_EQ(p.generic_type, 6);
    EXPECT_EQ(p.specific_type, 5);
    EXPECT_EQ(p.variables, nullptr);
}

TEST(BerCaptured, SnmpV2TrapCarriesEveryValueType)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(readPacket("v2trap_types"), r));
    EXPECT_EQ(r.pdu.time_stamp, 4242u);
    EXPECT_EQ(oidOf(r.pdu.notify_oid, r.pdu.notify_oid_length), upsOid({0, 7}));
    std::vector<const SnmpVarBind*> v = variables(r.pdu);
    ASSERT_EQ(v.size(), 12u);
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(oidOf(v[i]->name, v[i]->name_length), upsOid({1, static_cast<uint32_t>(i + 1)})) << i;
    }
    struct {
        uint8_t type;
        uint32_t length;
    } const shape[] = {{0x02, 4}, {0x42, 4}, {0x41, 4}, {0x04, 5}, {0x04, 3}, {0x06, 7},
                       {0x40, 4}, {0x43, 4}, {0x46, 8}, {0x05, 0}, {0x02, 4}, {0x04, 0}};
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(v[i]->type, shape[i].type) << "binding " << i + 1;
        EXPECT_EQ(v[i]->value_length, shape[i].length) << "binding " << i + 1;
    }
    EXPECT_EQ(*v[0]->value.integer, -5);
    EXPECT_EQ(*v[1]->value.unsigned32, 4294967295u);
    EXPECT_EQ(*v[2]->value.unsigned32, 7u);
    EXPECT_EQ(text(v[3]->value.string, v[3]->value_length), "hello");
    EXPECT_EQ(Bytes(v[4]->value.string, v[4]->value.string + 3), (Bytes{0x00, 0xFF, 0x1A}));
    EXPECT_EQ(oidOf(v[5]->value.oid, v[5]->value_length), (Oid{1, 3, 6, 1, 2, 1, 33}));
    EXPECT_EQ(Bytes(v[6]->value.string, v[6]->value.string + 4), (Bytes{192, 168, 1, 200}));
    EXPECT_EQ(*v[7]->value.unsigned32, 8640000u);
    EXPECT_EQ(v[8]->value.counter64->high, 0xFFFFFFFFu);
    EXPECT_EQ(v[8]->value.counter64->low, 0xFFFFFFFFu);
    EXPECT_EQ(v[9]->value.string, nullptr);
    EXPECT_EQ(*v[10]->value.integer, 2147483647);
    EXPECT_NE(v[11]->value.string, nullptr) << "an empty string still points somewhere";
}

TEST(BerCaptured, SnmpV2TrapTakesEnterpriseAndAgentAddressFromTheirBindings)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(readPacket("v2trap_enterprise_address"), r));
    const SnmpPdu& p = r.pdu;
    EXPECT_EQ(text(p.community, p.community_len), "ups-net");
    EXPECT_EQ(static_cast<uint32_t>(p.request_id), 0x214569E3u);
    EXPECT_EQ(p.time_stamp, 100u);
    EXPECT_EQ(oidOf(p.notify_oid, p.notify_oid_length), (Oid{1, 3, 6, 1, 2, 1, 33, 2, 1}));
    EXPECT_EQ(oidOf(p.enterprise, p.enterprise_length), (Oid{1, 3, 6, 1, 4, 1, 1356}));
    EXPECT_EQ(addressOf(p.agent_addr), 0x0A010203u);
    EXPECT_EQ(addressOf(p.address.sin_addr), 0x7F000009u);
    // Those bindings stay in the list.
    std::vector<const SnmpVarBind*> v = variables(p);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(oidOf(v[0]->name, v[0]->name_length), (Oid{1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0}));
    EXPECT_EQ(oidOf(v[1]->name, v[1]->name_length), (Oid{1, 3, 6, 1, 6, 3, 18, 1, 3, 0}));
}

TEST(BerCaptured, SnmpV1EnterpriseSpecificTrap)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(readPacket("v1trap_enterprise"), r));
    const SnmpPdu& p = r.pdu;
    EXPECT_EQ(p.version, 0);
    EXPECT_EQ(p.command, 0xA4);
    EXPECT_EQ(text(p.community, p.community_len), "public");
    EXPECT_EQ(oidOf(p.enterprise, p.enterprise_length), kUps);
    EXPECT_EQ(addressOf(p.agent_addr), 0x7F000001u);
    EXPECT_EQ(addressOf(p.address.sin_addr), 0x7F000009u);
    EXPECT_EQ(p.generic_type, 6);
    EXPECT_EQ(p.specific_type, 5);
    EXPECT_EQ(p.time_stamp, 555u);
    EXPECT_EQ(oidOf(p.notify_oid, p.notify_oid_length), upsOid({0, 5}));
    std::vector<const SnmpVarBind*> v = variables(p);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(oidOf(v[0]->name, v[0]->name_length), (Oid{1, 3, 6, 1, 2, 1, 1, 5, 0}));
    EXPECT_EQ(v[0]->type, 0x04);
    EXPECT_EQ(text(v[0]->value.string, v[0]->value_length), "hello");
}

TEST(BerCaptured, SnmpV1GenericTrapGetsTheStandardIdentifier)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(readPacket("v1trap_coldstart"), r));
    const SnmpPdu& p = r.pdu;
    EXPECT_EQ(text(p.community, p.community_len), "private");
    EXPECT_EQ(addressOf(p.agent_addr), 0x0A000009u);
    EXPECT_EQ(p.generic_type, 0);
    EXPECT_EQ(p.time_stamp, 0u);
    EXPECT_EQ(oidOf(p.notify_oid, p.notify_oid_length), (Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 1}));
    EXPECT_EQ(p.variables, nullptr);
}

TEST(BerCaptured, Inform)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(readPacket("v2inform"), r));
    const SnmpPdu& p = r.pdu;
    EXPECT_EQ(p.command, 0xA6);
    EXPECT_EQ(static_cast<uint32_t>(p.request_id), 0x07FD6662u);
    EXPECT_EQ(p.time_stamp, 777u);
    EXPECT_EQ(oidOf(p.notify_oid, p.notify_oid_length), upsOid({0, 5}));
    std::vector<const SnmpVarBind*> v = variables(p);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(text(v[0]->value.string, v[0]->value_length), "ups");
}

TEST(BerCaptured, OtherPduTypesAndVersionsAreRefused)
{
    struct {
        const char* packet;
        const char* why;
    } const cases[] = {{"v2getrequest", "PDU type not accepted"},
                       {"v3trap", "version other than SNMPv1 and SNMPv2c"}};
    for (const auto& c : cases) {
        Message m;
        const char* why = nullptr;
        Bytes data = readPacket(c.packet);
        EXPECT_FALSE(decodeMessage(data.data(), data.size(), m, &why)) << c.packet;
        EXPECT_STREQ(why, c.why) << c.packet;
    }
}

// Every proper prefix of a good message is malformed, and the decoder reads
// nothing past it (the sanitizer build checks the reads).
TEST(BerCaptured, EveryPrefixIsMalformed)
{
    Message m;
    for (const char* name : kCaptured) {
        Bytes data = readPacket(name);
        ASSERT_TRUE(decodeMessage(data.data(), data.size(), m)) << name;
        for (size_t n = 0; n < data.size(); ++n) {
            Bytes prefix(data.begin(), data.begin() + static_cast<long>(n));
            EXPECT_FALSE(decodeMessage(prefix.data(), prefix.size(), m)) << name << " cut to " << n << " bytes";
        }
    }
}

// ---- crafted faults ----

TEST(BerDecoder, CraftedMessages)
{
    Bytes oid128 = oidContent(Oid(128, 1));
    Bytes oid129 = oidContent(Oid(129, 1));
    Bytes good = v2TrapWithValue(integer(1));
    Bytes trailing = good;
    trailing.push_back(0x00);

    struct {
        const char* name;
        Bytes data;
        const char* why;  // null: accepted
    } const cases[] = {
        {"a good trap", good, nullptr},
        {"a byte after the message", trailing, "bytes after the message"},
        {"indefinite length", cat({{0x30, 0x80}, Bytes(good.begin() + 2, good.end()), {0, 0}}),
         "indefinite length"},
        {"a length of 5 bytes",
         cat({{0x30, 0x85, 0, 0, 0, 0, static_cast<uint8_t>(good.size() - 2)},
              Bytes(good.begin() + 2, good.end())}),
         "length of more than 4 bytes"},
        {"a long-form length that is not the shortest", v2TrapWithValue(Bytes{0x04, 0x82, 0x00, 0x02, 'o', 'k'}),
         nullptr},
        {"an outer length beyond the datagram",
         cat({{0x30, static_cast<uint8_t>(good[1] + 1)}, Bytes(good.begin() + 2, good.end())}),
         "length beyond its enclosing element"},
        {"a binding list longer than its PDU",
         tlv(0x30, cat({integer(1),
                        tlv(0x04, {}),
                        {0xA7, 0x0B},
                        integer(7),
                        integer(0),
                        integer(0),
                        {0x30, 0x03},
                        {0x05, 0x00, 0x00}})),
         "length beyond its enclosing element"},
        {"bytes after the PDU",
         tlv(0x30, cat({integer(1),
                        tlv(0x04, {}),
                        tlv(0xA7, cat({integer(7), integer(0), integer(0), tlv(0x30, cat({kUpTime, kTrapOid}))})),
                        {0x05, 0x00}})),
         "bytes after the PDU"},
        {"bytes after the binding list",
         v2Message(0xA7,
                   cat({integer(7), integer(0), integer(0), tlv(0x30, cat({kUpTime, kTrapOid})), {0x05, 0x00}})),
         "bytes after the binding list"},
        {"bytes after a binding's value", v2Trap(tlv(0x30, cat({oid(upsOid({1})), integer(1), integer(2)}))),
         "bytes after a binding's value"},
        {"a multi-byte tag", v2TrapWithValue({0x1F, 0x01, 0x00}), "multi-byte tag"},
        {"a value nested in SEQUENCEs", v2TrapWithValue(tlv(0x30, tlv(0x30, tlv(0x30, integer(1))))),
         "value of a type not accepted"},
        {"a constructed OCTET STRING", v2TrapWithValue(tlv(0x24, tlv(0x04, {'a'}))),
         "value of a type not accepted"},
        {"a context tag beyond endOfMibView", v2TrapWithValue({0x83, 0x00}), "value of a type not accepted"},
        {"an INTEGER of 5 bytes", v2TrapWithValue({0x02, 0x05, 0x01, 0, 0, 0, 0}), "INTEGER wider than 32 bits"},
        {"an INTEGER without content", v2TrapWithValue({0x02, 0x00}), "integer without content"},
        {"an INTEGER with a needless 0x00", v2TrapWithValue({0x02, 0x02, 0x00, 0x01}),
         "integer not in its shortest form"},
        {"an INTEGER with a needless 0xFF", v2TrapWithValue({0x02, 0x02, 0xFF, 0x80}),
         "integer not in its shortest form"},
        {"the smallest INTEGER", v2TrapWithValue({0x02, 0x04, 0x80, 0, 0, 0}), nullptr},
        {"a Counter of 2^32", v2TrapWithValue({0x41, 0x05, 0x01, 0, 0, 0, 0}),
         "unsigned value wider than its type"},
        {"a negative TimeTicks", v2TrapWithValue({0x43, 0x01, 0xFF}), "negative value of an unsigned type"},
        {"a Counter64 of 2^64", v2TrapWithValue({0x46, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}),
         "unsigned value wider than its type"},
        {"an IpAddress of 5 bytes", v2TrapWithValue({0x40, 0x05, 1, 2, 3, 4, 5}), "IpAddress not of 4 bytes"},
        {"a NULL with content", v2TrapWithValue({0x05, 0x01, 0x00}), "NULL or exception value with content"},
        {"an OID of 128 sub-identifiers", v2TrapWithValue(tlv(0x06, oid128)), nullptr},
        {"an OID of 129 sub-identifiers", v2TrapWithValue(tlv(0x06, oid129)), "more than 128 sub-identifiers"},
        {"a sub-identifier of 2^32 - 1", v2TrapWithValue({0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}),
         nullptr},
        {"a sub-identifier of 2^32", v2TrapWithValue({0x06, 0x06, 0x2B, 0x90, 0x80, 0x80, 0x80, 0x00}),
         "sub-identifier wider than 32 bits"},
        {"a second arc of 2^32 - 1 (2.4294967295)", v2TrapWithValue({0x06, 0x05, 0x90, 0x80, 0x80, 0x80, 0x4F}),
         nullptr},
        {"a second arc of 2^32", v2TrapWithValue({0x06, 0x05, 0x90, 0x80, 0x80, 0x80, 0x50}),
         "sub-identifier wider than 32 bits"},
        {"a sub-identifier of six groups",
         v2TrapWithValue({0x06, 0x07, 0x2B, 0x80 | 1, 0x80, 0x80, 0x80, 0x80, 0x00}),
         "sub-identifier wider than 32 bits"},
        {"a sub-identifier led by 0x80", v2TrapWithValue({0x06, 0x03, 0x2B, 0x80, 0x01}),
         "sub-identifier with a leading 0x80 group"},
        {"a sub-identifier cut short", v2TrapWithValue({0x06, 0x02, 0x2B, 0x81}), "sub-identifier cut short"},
        {"an empty OID", v2TrapWithValue({0x06, 0x00}), "empty OBJECT IDENTIFIER"},
        {"version 2", tlv(0x30, cat({integer(2), tlv(0x04, {}), tlv(0xA7, {})})),
         "version other than SNMPv1 and SNMPv2c"},
        {"an SNMPv2-Trap in an SNMPv1 message", tlv(0x30, cat({integer(0), tlv(0x04, {}), tlv(0xA7, {})})),
         "SNMPv2 notification in an SNMPv1 message"},
        {"a Trap-PDU in an SNMPv2c message", tlv(0x30, cat({integer(1), tlv(0x04, {}), tlv(0xA4, {})})),
         "SNMPv1 Trap-PDU in an SNMPv2c message"},
        {"a community that is not an OCTET STRING", tlv(0x30, cat({integer(1), integer(1), tlv(0xA7, {})})),
         "community is not an OCTET STRING"},
        {"a trap without snmpTrapOID.0",
         v2Message(0xA7, cat({integer(7), integer(0), integer(0), tlv(0x30, kUpTime)})),
         "notification does not begin with sysUpTime.0 and snmpTrapOID.0"},
        {"an inform with its standard bindings swapped",
         v2Message(0xA6, cat({integer(7), integer(0), integer(0), tlv(0x30, cat({kTrapOid, kUpTime}))})),
         "notification does not begin with sysUpTime.0 and snmpTrapOID.0"},
        {"a trap whose sysUpTime.0 is an INTEGER",
         v2Message(0xA7, cat({integer(7), integer(0), integer(0),
                              tlv(0x30, cat({binding(oid({1, 3, 6, 1, 2, 1, 1, 3, 0}), integer(5)), kTrapOid}))})),
         "notification does not begin with sysUpTime.0 and snmpTrapOID.0"},
        {"an SNMPv1 trap with generic trap 7",
         tlv(0x30, cat({integer(0), tlv(0x04, {}),
                        tlv(0xA4, cat({oid(kUps), tlv(0x40, {1, 2, 3, 4}), integer(7), integer(0), tlv(0x43, {0}),
                                       tlv(0x30, {})}))})),
         "generic trap outside 0 to 6"},
    };
    for (const auto& c : cases) {
        Message m;
        const char* why = "not set";
        bool ok = decodeMessage(c.data.data(), c.data.size(), m, &why);
        EXPECT_EQ(ok, c.why == nullptr) << c.name;
        if (c.why == nullptr) {
            EXPECT_EQ(why, nullptr) << c.name << ": " << (why ? why : "");
        } else {
            EXPECT_STREQ(why, c.why) << c.name;
            EXPECT_TRUE(m.bindings.empty() && m.words.empty() && m.bytes.empty()) << c.name << " left data behind";
        }
    }
}

TEST(BerDecoder, AtMost512Bindings)
{
    Bytes one = binding(oid(upsOid({1})), tlv(0x05, {}));
    Bytes list;
    for (int i = 0; i < 510; ++i)
        list.insert(list.end(), one.begin(), one.end());
    Bytes at512 = v2Trap(list);
    list.insert(list.end(), one.begin(), one.end());
    Bytes at513 = v2Trap(list);

    Message m;
    const char* why = nullptr;
    EXPECT_TRUE(decodeMessage(at512.data(), at512.size(), m, &why)) << why;
    EXPECT_EQ(m.bindings.size(), 512u);
    EXPECT_FALSE(decodeMessage(at513.data(), at513.size(), m, &why));
    EXPECT_STREQ(why, "more than 512 bindings");
}

TEST(BerDecoder, DatagramSizeIsBounded)
{
    Message m;
    const char* why = nullptr;
    Bytes big(65536, 0);
    EXPECT_FALSE(decodeMessage(big.data(), big.size(), m, &why));
    EXPECT_STREQ(why, "datagram longer than 65535 bytes");
    EXPECT_FALSE(decodeMessage(nullptr, 0, m, &why));
    EXPECT_STREQ(why, "empty datagram");
}

TEST(BerDecoder, OtherApplicationTypesKeepTheirTagAndBytes)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(v2Trap(cat({binding(oid(upsOid({1})), tlv(0x47, {0x00, 0x80})),
                                      binding(oid(upsOid({2})), tlv(0x44, {'a', 'b', 'c'}))})),
                          r));
    std::vector<const SnmpVarBind*> v = variables(r.pdu);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]->type, 0x47);
    EXPECT_EQ(Bytes(v[0]->value.string, v[0]->value.string + v[0]->value_length), (Bytes{0x00, 0x80}));
    EXPECT_EQ(v[1]->type, 0x44);
    EXPECT_EQ(text(v[1]->value.string, v[1]->value_length), "abc");
}

// ---- the SNMPv2 enterprise, derived from the notification's identifier ----

TEST(BerPdu, EnterpriseDerivedFromTheNotificationIdentifier)
{
    struct {
        Oid notify;
        Oid enterprise;
        int generic;
        int specific;
    } const cases[] = {
        {upsOid({0, 5}), kUps, 6, 5},                                         // SNMPv1-style: the 0 goes
        {{1, 3, 6, 1, 2, 1, 33, 2, 1}, {1, 3, 6, 1, 2, 1, 33, 2}, 6, 1},      // no 0 to remove
        {{1, 3, 6, 1, 6, 3, 1, 1, 5, 3}, {1, 3, 6, 1, 6, 3, 1, 1, 5}, 2, 0},  // linkDown
        {{0, 0}, {}, 6, 0},
    };
    for (const auto& c : cases) {
        Bytes trapOid = binding(oid({1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0}), oid(c.notify));
        PduRecord r;
        ASSERT_TRUE(decodePdu(
            v2Message(0xA7, cat({integer(7), integer(0), integer(0), tlv(0x30, cat({kUpTime, trapOid}))})), r));
        EXPECT_EQ(oidOf(r.pdu.notify_oid, r.pdu.notify_oid_length), c.notify);
        EXPECT_EQ(oidOf(r.pdu.enterprise, r.pdu.enterprise_length), c.enterprise);
        EXPECT_NE(r.pdu.enterprise, nullptr);
        EXPECT_EQ(r.pdu.generic_type, c.generic);
        EXPECT_EQ(r.pdu.specific_type, c.specific);
    }
}

TEST(BerPdu, RecordIsRebuiltCleanlyWhenReused)
{
    PduRecord r;
    ASSERT_TRUE(decodePdu(readPacket("v2trap_types"), r));
    ASSERT_TRUE(decodePdu(readPacket("v1trap_coldstart"), r));
    EXPECT_EQ(r.pdu.variables, nullptr);
    EXPECT_EQ(r.pdu.request_id, 0);
    EXPECT_EQ(oidOf(r.pdu.enterprise, r.pdu.enterprise_length), kUps);
}

// ---- the Response-PDU ----

// net-snmp writes every length and integer in its shortest form, as the
// encoder does, so the answer to a captured message is that message with
// its PDU tag changed to Response (error status and index are 0 in both).
TEST(BerResponse, AnswerIsTheRequestWithTheResponseTag)
{
    for (const char* name : {"v2inform", "v2trap_types", "v2trap_enterprise_address"}) {
        Bytes data = readPacket(name);
        Message m;
        ASSERT_TRUE(decodeMessage(data.data(), data.size(), m)) << name;
        Bytes answer;
        ASSERT_TRUE(encodeResponse(m, answer)) << name;
        size_t tag = data[1] == 0x82 ? 4 + 3 + 2 + m.communityLength : 2 + 3 + 2 + m.communityLength;
        ASSERT_EQ(data[tag] & 0xF0, 0xA0) << name;
        Bytes expected = data;
        expected[tag] = 0xA2;
        EXPECT_EQ(answer, expected) << name;
    }
}

TEST(BerResponse, RoundTripsThroughTheDecoder)
{
    Bytes request = v2Message(
        0xA6, cat({{0x02, 0x04, 0x80, 0x00, 0x00, 0x01},
                   integer(3),
                   integer(4),
                   tlv(0x30, cat({kUpTime, kTrapOid, binding(oid(upsOid({1})), {0x41, 0x05, 0, 0xFF, 0, 0, 0}),
                                  binding(oid(upsOid({2})), {0x46, 0x01, 0x00}),
                                  binding(oid({2, 999, 4294967295u}), {0x81, 0x00}),
                                  // a length not in its shortest form comes back shortest
                                  binding(oid(upsOid({3})), {0x04, 0x81, 0x01, 'x'})}))}));
    Message in;
    ASSERT_TRUE(decodeMessage(request.data(), request.size(), in));
    Bytes answer;
    ASSERT_TRUE(encodeResponse(in, answer));
    Message out;
    const char* why = nullptr;
    ASSERT_TRUE(decodeMessage(answer.data(), answer.size(), out, &why)) << why;
    EXPECT_EQ(out.pduType, 0xA2);
    EXPECT_EQ(out.version, 1);
    EXPECT_EQ(out.requestId, static_cast<int32_t>(0x80000001u));
    EXPECT_EQ(out.errorStatus, 0);
    EXPECT_EQ(out.errorIndex, 0);
    EXPECT_EQ(Bytes(out.bytes.begin() + out.communityOffset, out.bytes.begin() + out.communityOffset + 3),
              (Bytes{'p', 'u', 'b'}));
    ASSERT_EQ(out.bindings.size(), in.bindings.size());
    EXPECT_EQ(out.words, in.words);
    EXPECT_EQ(out.bytes, in.bytes);
    ASSERT_EQ(out.counters.size(), 1u);
    EXPECT_EQ(out.counters[0].low, 0u);
    for (size_t i = 0; i < in.bindings.size(); ++i) {
        EXPECT_EQ(out.bindings[i].type, in.bindings[i].type) << i;
        EXPECT_EQ(out.bindings[i].valueLength, in.bindings[i].valueLength) << i;
    }
    ASSERT_GE(answer.size(), 3u);
    EXPECT_EQ(Bytes(answer.end() - 3, answer.end()), (Bytes{0x04, 0x01, 'x'}))
        << "the long-form length of the last value comes back in its shortest form";
}
