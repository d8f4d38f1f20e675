// Object identifier text and variable value text.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "snmptext/snmptext.h"

namespace {

// ---- object identifier text ----

std::string joined(const std::vector<uint32_t>& subids)
{
    std::string text;
    for (uint32_t id : subids) {
        if (!text.empty())
            text += '.';
        text += std::to_string(id);
    }
    return text;
}

TEST(OidToText, DottedDecimalWithoutLeadingOrTrailingDot)
{
    struct Case {
        std::vector<uint32_t> subids;
        const char* text;
    } cases[] = {
        {{1, 3, 6, 1, 2, 1, 33, 2, 1}, "1.3.6.1.2.1.33.2.1"},
        {{1, 3, 6, 1, 4, 1, 935, 0, 1}, "1.3.6.1.4.1.935.0.1"},
        {{0}, "0"},
        {{4294967295u}, "4294967295"},
        {{2147483648u, 0, 4294967295u}, "2147483648.0.4294967295"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(oidToText(c.subids.data(), (uint32_t)c.subids.size()), c.text);
}

TEST(OidToText, NullAndEmpty)
{
    uint32_t one = 1;
    EXPECT_STREQ(oidToText(nullptr, 0), "<null>");
    EXPECT_STREQ(oidToText(nullptr, 9), "<null>");
    EXPECT_STREQ(oidToText(&one, 0), "");
}

TEST(OidToText, OneSharedBufferHoldsOnlyTheLatestText)
{
    std::vector<uint32_t> longer = {1, 3, 6, 1, 4, 1, 1356, 0, 8, 4294967295u};
    uint32_t shorter[] = {7};
    const char* first = oidToText(longer.data(), (uint32_t)longer.size());
    const char* second = oidToText(shorter, 1);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "7");
}

TEST(OidToText, LongestIdentifierFitsWhole)
{
    std::vector<uint32_t> subids(128, 4294967295u);
    const char* text = oidToText(subids.data(), 128);
    EXPECT_EQ(strlen(text), 128u * 11 - 1);
    EXPECT_EQ(std::string(text), joined(subids));
}

TEST(OidToText, TooLongIsCutAtAWholeSubIdentifier)
{
    // 200 ten-digit sub-identifiers: 128 fit, the text ends in digits.
    std::vector<uint32_t> subids(200);
    for (size_t i = 0; i < subids.size(); i++)
        subids[i] = 4000000000u + (uint32_t)i;
    std::string text = oidToText(subids.data(), (uint32_t)subids.size());
    std::vector<uint32_t> first128(subids.begin(), subids.begin() + 128);
    EXPECT_EQ(text, joined(first128));
    EXPECT_LT(text.size(), (size_t)OID_TEXT_SIZE);

    // 127 ten-digit sub-identifiers and one of nine digits take 1406
    // characters; only a one-digit sub-identifier would still fit, so the
    // next ten-digit one is dropped rather than cut.
    std::vector<uint32_t> mixed(127, 4294967295u);
    mixed.push_back(999999999u);
    mixed.push_back(4294967295u);
    text = oidToText(mixed.data(), (uint32_t)mixed.size());
    EXPECT_EQ(text, joined(std::vector<uint32_t>(mixed.begin(), mixed.begin() + 128)));
    EXPECT_NE(text.back(), '.');

    // Short sub-identifiers: 200 of them fit whole.
    std::vector<uint32_t> ones(200, 1);
    EXPECT_EQ(std::string(oidToText(ones.data(), 200)), joined(ones));
}

// ---- value text ----

SnmpVarBind binding(uint8_t type, const void* value, uint32_t length = 0)
{
    SnmpVarBind b;
    memset(&b, 0, sizeof b);
    b.type = type;
    b.value.string = (uint8_t*)value;
    b.value_length = length;
    return b;
}

// Renders into a guarded buffer of 400 bytes, of which size are handed over;
// the bytes past size must be untouched.
std::string render(const SnmpVarBind& b, int32_t size = 256)
{
    char buffer[400];
    memset(buffer, '#', sizeof buffer);
    formatValue(buffer, size, &b);
    for (size_t i = size > 0 ? (size_t)size : 0; i < sizeof buffer; i++) {
        if (buffer[i] != '#') {
            ADD_FAILURE() << "byte " << i << " written with size " << size;
            break;
        }
    }
    if (size <= 0)
        return "<untouched>";
    EXPECT_NE(memchr(buffer, '\0', (size_t)size), nullptr) << "no NUL within size " << size;
    return std::string(buffer);
}

int32_t integerMinusOne = -1;
int32_t integerMin = INT32_MIN;
uint32_t allBits = 0xFFFFFFFFu;
uint32_t ticks0 = 0, ticks100 = 100, ticksDay = 8640000, ticksTwoDays = 17280000;
uint32_t ticksMixed = 10 * 360000 + 5 * 6000 + 7 * 100 + 3;
uint32_t ticksLongest = 496u * 8640000 + 23 * 360000 + 59 * 6000 + 5999;
uint8_t ipBytes[] = {192, 168, 1, 200};
SnmpCounter64 counterBig = {0xFFFFFFFFu, 0xFFFFFFFFu};
SnmpCounter64 counterHigh = {1, 0};

struct FixedCase {
    const char* name;
    SnmpVarBind value;
    const char* text;
};

std::vector<FixedCase> fixedCases()
{
    return {
        {"INTEGER -1", binding(SNMP_TYPE_INTEGER, &integerMinusOne), "-1"},
        {"INTEGER min", binding(SNMP_TYPE_INTEGER, &integerMin), "-2147483648"},
        {"tag 7 all bits", binding(SNMP_TYPE_UNSIGNED32, &allBits), "4294967295"},
        {"Counter all bits", binding(SNMP_TYPE_COUNTER, &allBits), "4294967295"},
        {"Gauge all bits", binding(SNMP_TYPE_GAUGE, &allBits), "4294967295"},
        {"IpAddress", binding(SNMP_TYPE_IPADDRESS, ipBytes, 4), "192.168.1.200"},
        {"TimeTicks 0", binding(SNMP_TYPE_TIMETICKS, &ticks0), "(0) 0:00:00.00"},
        {"TimeTicks 100", binding(SNMP_TYPE_TIMETICKS, &ticks100), "(100) 0:00:01.00"},
        {"TimeTicks one day", binding(SNMP_TYPE_TIMETICKS, &ticksDay), "(8640000) 1 day, 0:00:00.00"},
        {"TimeTicks two days", binding(SNMP_TYPE_TIMETICKS, &ticksTwoDays), "(17280000) 2 days, 0:00:00.00"},
        {"TimeTicks hours", binding(SNMP_TYPE_TIMETICKS, &ticksMixed), "(3630703) 10:05:07.03"},
        {"TimeTicks max", binding(SNMP_TYPE_TIMETICKS, &allBits), "(4294967295) 497 days, 2:27:52.95"},
        {"TimeTicks longest", binding(SNMP_TYPE_TIMETICKS, &ticksLongest), "(4294079999) 496 days, 23:59:59.99"},
        {"NULL", binding(SNMP_TYPE_NULL, nullptr), "NULL"},
        {"noSuchObject", binding(SNMP_TYPE_NO_SUCH_OBJECT, nullptr), "No Such Object"},
        {"noSuchInstance", binding(SNMP_TYPE_NO_SUCH_INSTANCE, nullptr), "No Such Instance"},
        {"endOfMibView", binding(SNMP_TYPE_END_OF_MIB_VIEW, nullptr), "End of MIB View"},
        {"tag 0", binding(0, &allBits, 4), "Variable has bad type"},
        {"tag 3", binding(3, &allBits, 4), "Variable has bad type"},
        {"tag 69", binding(69, &allBits, 4), "Variable has bad type"},
        {"tag 71", binding(71, &allBits, 4), "Variable has bad type"},
        {"tag 131", binding(131, &allBits, 4), "Variable has bad type"},
        {"tag 255", binding(255, &allBits, 4), "Variable has bad type"},
        {"Counter64 max", binding(SNMP_TYPE_COUNTER64, &counterBig), "18446744073709551615"},
        {"Counter64 2^32", binding(SNMP_TYPE_COUNTER64, &counterHigh), "4294967296"},
    };
}

TEST(FormatValue, FixedForms)
{
    for (const FixedCase& c : fixedCases())
        EXPECT_EQ(render(c.value), c.text) << c.name;
}

TEST(FormatValue, FixedFormsAreCutToSmallSizesNeverOverrun)
{
    for (const FixedCase& c : fixedCases()) {
        std::string whole = c.text;
        for (int32_t size = -1; size <= 36; size++) {
            std::string expected = size <= 0 ? "<untouched>" : whole.substr(0, (size_t)size - 1);
            EXPECT_EQ(render(c.value, size), expected) << c.name << ", size " << size;
        }
    }
}

TEST(FormatValue, OctetStringTextForm)
{
    const char printable[] = "ups-hall3 on battery";
    const char whitespace[] = "a\tb\r\nc\x0b\x0c ~\n";
    EXPECT_EQ(render(binding(SNMP_TYPE_OCTET_STRING, printable, sizeof printable - 1)), printable);
    EXPECT_EQ(render(binding(SNMP_TYPE_OCTET_STRING, whitespace, sizeof whitespace - 1)), whitespace);
    EXPECT_EQ(render(binding(SNMP_TYPE_OCTET_STRING, printable, 0)), "");

    std::string long300(300, 'x');
    for (size_t i = 0; i < long300.size(); i++)
        long300[i] = (char)('a' + i % 26);
    EXPECT_EQ(render(binding(SNMP_TYPE_OCTET_STRING, long300.data(), 300)), long300.substr(0, 255));
    EXPECT_EQ(render(binding(SNMP_TYPE_OCTET_STRING, long300.data(), 300), 10), long300.substr(0, 9));
}

TEST(FormatValue, OctetStringHexForm)
{
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    } cases[] = {
        {{0x00, 0x1A, 0xFF}, "00 1A FF "},
        {{'a', 'b', 0x00}, "61 62 00 "},
        {{'a', 127}, "61 7F "},
        {{0x80, 'z'}, "80 7A "},
        {{8}, "08 "},
        {{14, 31}, "0E 1F "},
        {{' ', '~', 0xFF}, "20 7E FF "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(render(binding(SNMP_TYPE_OCTET_STRING, c.bytes.data(), (uint32_t)c.bytes.size())), c.text);

    // 300 bytes, one of them not text: 85 groups in 256 bytes.
    std::vector<uint8_t> bytes(300, 'A');
    bytes[299] = 0x01;
    std::string text = render(binding(SNMP_TYPE_OCTET_STRING, bytes.data(), 300));
    EXPECT_EQ(text.size(), 255u);
    EXPECT_EQ(text.substr(0, 6), "41 41 ");
    EXPECT_EQ(text.substr(252), "41 ");
}

TEST(FormatValue, HexGroupsAreWholeOrDropped)
{
    uint8_t bytes[] = {0xAB, 0xCD, 0xEF};
    struct Case {
        int32_t size;
        const char* text;
    } cases[] = {{1, ""}, {3, ""}, {4, "AB "}, {6, "AB "}, {7, "AB CD "}, {10, "AB CD EF "}};
    for (const Case& c : cases)
        EXPECT_EQ(render(binding(SNMP_TYPE_OPAQUE, bytes, 3), c.size), c.text) << "size " << c.size;
}

TEST(FormatValue, OpaqueIsAlwaysHex)
{
    EXPECT_EQ(render(binding(SNMP_TYPE_OPAQUE, "abc", 3)), "61 62 63 ");
    EXPECT_EQ(render(binding(SNMP_TYPE_OPAQUE, "abc", 0)), "");
}

TEST(FormatValue, IpAddressOfAnotherLengthIsHexOfItsOwnBytes)
{
    uint8_t three[] = {10, 0, 1};
    uint8_t five[] = {10, 0, 0, 1, 99};
    EXPECT_EQ(render(binding(SNMP_TYPE_IPADDRESS, three, 3)), "0A 00 01 ");
    EXPECT_EQ(render(binding(SNMP_TYPE_IPADDRESS, five, 5)), "0A 00 00 01 63 ");
    EXPECT_EQ(render(binding(SNMP_TYPE_IPADDRESS, five, 0)), "");
}

TEST(FormatValue, ObjectIdentifierValues)
{
    uint32_t sysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
    EXPECT_EQ(render(binding(SNMP_TYPE_OBJECT_ID, sysUpTime, 9)), "1.3.6.1.2.1.1.3.0");
    EXPECT_EQ(render(binding(SNMP_TYPE_OBJECT_ID, sysUpTime, 0)), "");

    // 200 ones: 126 of them, 251 characters.
    std::vector<uint32_t> ones(200, 1);
    std::string text = render(binding(SNMP_TYPE_OBJECT_ID, ones.data(), 200));
    EXPECT_EQ(text, joined(std::vector<uint32_t>(126, 1)));
    EXPECT_EQ(text.size(), 251u);
}

TEST(OidValueText, ASubIdentifierThatDoesNotFitWholeIsDropped)
{
    uint32_t subids[] = {1, 2, 4294967295u, 3};
    struct Case {
        int32_t size;
        const char* text;
    } cases[] = {
        {1, ""},  // not even one digit and its dot
        {2, ""},
        {3, "1"},
        {12, "1.2"},  // 8 left after "1.2.": the ten digits do not fit
        {15, "1.2"},
        {16, "1.2.4294967295"},  // 1 left after the third: taken no further
        {19, "1.2.4294967295"},  // 4 left: taken no further
        {20, "1.2.4294967295.3"},
    };
    for (const Case& c : cases) {
        char buffer[64];
        memset(buffer, '#', sizeof buffer);
        oidValueText(buffer, c.size, subids, 4);
        EXPECT_STREQ(buffer, c.text) << "size " << c.size;
        for (size_t i = (size_t)c.size; i < sizeof buffer; i++)
            ASSERT_EQ(buffer[i], '#') << "byte " << i << " written with size " << c.size;
    }
}

TEST(FormatValue, NullValuePointerIsNeverRead)
{
    const uint8_t types[] = {
        SNMP_TYPE_INTEGER, SNMP_TYPE_OCTET_STRING, SNMP_TYPE_OBJECT_ID, SNMP_TYPE_UNSIGNED32, SNMP_TYPE_IPADDRESS,
        SNMP_TYPE_COUNTER, SNMP_TYPE_GAUGE,        SNMP_TYPE_TIMETICKS, SNMP_TYPE_OPAQUE,     SNMP_TYPE_COUNTER64};
    for (uint8_t type : types)
        EXPECT_EQ(render(binding(type, nullptr, 300)), "") << "tag " << (int)type;
    char buffer[8];
    copyTextOctets(buffer, sizeof buffer, nullptr, 5);
    EXPECT_STREQ(buffer, "");
    hexOctets(buffer, sizeof buffer, nullptr, 5);
    EXPECT_STREQ(buffer, "");
}

}  // namespace
