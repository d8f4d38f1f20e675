// The trap callback's log records, the host search and trap classification.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/debuglog.h"
#include "logdrive.h"
#include "map/upsmap.h"
#include "simplatform/mapdb/mapdb.h"
#include "simplatform/mapdb/mapfile.h"
#include "simplatform/runtime/handover.h"
#include "snmptext/snmptext.h"
#include "trap/trapsession.h"

namespace {

// Names the platform's name service resolves for these tests. The file is
// written once per process and stays until the process ends, so the name
// service finds the same names whenever it reads it.
struct HostsFile {
    std::string folder;
    std::string path;
    HostsFile()
    {
        char pattern[] = "/tmp/kelvorov-trap-hosts-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        folder = pattern;
        path = folder + "/hosts";
        std::ofstream out(path);
        out << "127.0.0.21 ups-a\n"
               "127.0.0.22 ups-b\n"
               "127.0.0.23 ups-c ups-c-alias\n";
    }
    ~HostsFile()
    {
        if (!folder.empty())
            std::filesystem::remove_all(folder);
    }
};

const std::string& hostsFile()
{
    static HostsFile file;
    return file.path;
}

const char* const kMap = R"({
  "name": "Default",
  "submaps": [ { "id": 1, "name": "Root" } ],
  "objects": [
    { "id": 100, "hostname": "ups-a",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935" },
      "symbols": [ { "id": 1000, "label": "ups-a", "submap": 1 },
                   { "id": 1001, "label": "ups-a: Overload", "submap": 1 } ] },
    { "id": 200, "hostname": "ups-b",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935" },
      "symbols": [ { "id": 2000, "label": "hall b", "submap": 1 },
                   { "id": 2001, "label": "hall b", "submap": 1 } ] }
  ]
})";

class TrapIntake : public LogDrive {
protected:
    void SetUp() override
    {
        LogDrive::SetUp();
        ASSERT_FALSE(hostsFile().empty());
        setenv("SIMPLATFORM_HOSTS", hostsFile().c_str(), 1);
        simplatform::endTurn();  // the name service reads it at a turn's first lookup
        memset(upssymboltable, 0, sizeof upssymboltable);
    }
    void TearDown() override
    {
        memset(upssymboltable, 0, sizeof upssymboltable);
        simplatform::closeMap();
        LogDrive::TearDown();
    }

    MapHandle* loadMap()
    {
        std::string error;
        EXPECT_TRUE(simplatform::openMapText(kMap, "trap-test", error)) << error;
        return simplatform::openMapHandle();
    }

    static std::string label(MapHandle* map, OVwSymbolId symbol)
    {
        const SymbolInfo* info = OVwGetSymbolInfo(map, symbol);
        return info != nullptr && info->label != nullptr ? info->label : "<none>";
    }

    static void record(int index, const char* host, OVwSymbolId symbol, MapHandle* map)
    {
        snprintf(upssymboltable[index].hostname, sizeof upssymboltable[index].hostname, "%s", host);
        upssymboltable[index].symbolid = symbol;
        upssymboltable[index].map = map;
    }
};

// A PDU as the platform would deliver it, built on the stack; the
// platform's OVsnmpFreePdu leaves alone what it did not allocate.
struct TestPdu {
    SnmpPdu pdu;
    std::vector<uint32_t> enterprise;
    std::vector<uint32_t> notify;
    std::string community;

    TestPdu(const char* source, const char* notifyText, const char* communityText = "public")
        : community(communityText)
    {
        memset(&pdu, 0, sizeof pdu);
        pdu.address.sin_family = AF_INET;
        pdu.address.sin_addr.s_addr = inet_addr(source);
        pdu.agent_addr.s_addr = inet_addr("10.1.2.3");
        setNotify(notifyText);
        enterprise = {1, 3, 6, 1, 4, 1, 935};
        pdu.enterprise = enterprise.data();
        pdu.enterprise_length = (uint32_t)enterprise.size();
        pdu.community = (uint8_t*)community.data();
        pdu.community_len = (uint32_t)community.size();
        pdu.time_stamp = 4294967295u;
    }
    void setNotify(const char* text)
    {
        notify.clear();
        for (const char* p = text; *p != '\0';) {
            char* end;
            notify.push_back((uint32_t)strtoul(p, &end, 10));
            p = *end == '.' ? end + 1 : end;
        }
        pdu.notify_oid = notify.data();
        pdu.notify_oid_length = (uint32_t)notify.size();
    }
};

// ---- record by record ----

TEST_F(TrapIntake, SnmpV1TrapIsLoggedFieldByField)
{
    TestPdu t("127.0.0.5", "1.3.6.1.4.1.935.0.5");
    t.pdu.generic_type = 6;
    t.pdu.specific_type = -5;
    const char name[] = "ups-hall3";
    uint32_t ticks = 100;
    SnmpVarBind second;
    memset(&second, 0, sizeof second);
    second.type = SNMP_TYPE_TIMETICKS;
    second.value.unsigned32 = &ticks;
    SnmpVarBind first;
    memset(&first, 0, sizeof first);
    first.next = &second;
    first.type = SNMP_TYPE_OCTET_STRING;
    first.value.string = (uint8_t*)name;
    first.value_length = sizeof name - 1;
    t.pdu.variables = &first;
    // A recorded host: SNMPv1 traps are only logged, never searched.
    record(0, "localhost", 1000, nullptr);

    process_pdu(SNMP_KIND_TRAP_V1, nullptr, &t.pdu, nullptr);

    std::vector<std::string> expected = {
        "process_pdu",
        "Received TRAP in SNMPv1 format:\n",
        "Source Addr   = \"127.0.0.5\"\n",
        "agent_addr    = \"10.1.2.3\"\n",
        "community     = \"public\"\n",
        "enterprise    = 1.3.6.1.4.1.935\n",
        "generic_type  = 6\n",
        "specific_type = -5\n",
        "time-stamp    = 4294967295\n",
        "VarBind #1    = \"ups-hall3\"\n",
        "VarBind #2    = \"(100) 0:00:01.00\"\n",
    };
    EXPECT_EQ(messages(), expected);
}

TEST_F(TrapIntake, SnmpV1TrapWithoutBindingsEmptyCommunityAndNullEnterprise)
{
    TestPdu t("127.0.0.5", "1.3.6.1.4.1.935.0.5", "");
    t.pdu.enterprise = nullptr;
    t.pdu.enterprise_length = 3;
    t.pdu.time_stamp = 0;
    process_pdu(SNMP_KIND_TRAP_V1, nullptr, &t.pdu, nullptr);
    std::vector<std::string> expected = {
        "process_pdu",
        "Received TRAP in SNMPv1 format:\n",
        "Source Addr   = \"127.0.0.5\"\n",
        "agent_addr    = \"10.1.2.3\"\n",
        "community     = \"\"\n",
        "enterprise    = <null>\n",
        "generic_type  = 0\n",
        "specific_type = 0\n",
        "time-stamp    = 0\n",
    };
    EXPECT_EQ(messages(), expected);
}

TEST_F(TrapIntake, SnmpV2TrapAndInformDifferOnlyInTheirFirstLine)
{
    for (int kind : {SNMP_KIND_TRAP_V2, SNMP_KIND_INFORM}) {
        std::filesystem::remove(drive_ + "/temp/kelvorov.txt");
        TestPdu t("127.0.0.9", "1.3.6.1.4.1.935.0.5");
        t.pdu.notify_oid = nullptr;
        process_pdu(kind, nullptr, &t.pdu, nullptr);
        std::vector<std::string> expected = {
            "process_pdu",
            kind == SNMP_KIND_INFORM ? "Received INFORM in SNMPv2 format:\n" : "Received TRAP in SNMPv2 format:\n",
            "Source Addr   = \"127.0.0.9\"\n",
            "agent_addr    = \"10.1.2.3\"\n",
            "community     = \"public\"\n",
            "notify_oid    = <null>\n",
            "enterprise    = 1.3.6.1.4.1.935\n",
            "time-stamp    = 4294967295\n",
        };
        EXPECT_EQ(messages(), expected) << "kind " << kind;
    }
}

TEST_F(TrapIntake, OverlongRecordsAreCutInTheirTextAndKeepTheirFrame)
{
    std::string community(300, 'c');
    community[5] = 'C';
    TestPdu t("127.0.0.5", "1.3.6.1.4.1.935.0.5", community.c_str());
    t.enterprise.assign(100, 4294967295u);
    t.pdu.enterprise = t.enterprise.data();
    t.pdu.enterprise_length = (uint32_t)t.enterprise.size();
    std::string value(300, 'v');
    SnmpVarBind binding;
    memset(&binding, 0, sizeof binding);
    binding.type = SNMP_TYPE_OCTET_STRING;
    binding.value.string = (uint8_t*)value.data();
    binding.value_length = 300;
    t.pdu.variables = &binding;
    process_pdu(SNMP_KIND_TRAP_V1, nullptr, &t.pdu, nullptr);

    std::vector<std::string> log = messages();
    ASSERT_EQ(log.size(), 10u);
    // Each record fills the message buffer and ends as its frame does:
    // 17 + 236 + 2 characters for the quoted ones.
    EXPECT_EQ(log[4], "community     = \"" + community.substr(0, 236) + "\"\n");
    std::string enterprise = oidToText(t.enterprise.data(), (uint32_t)t.enterprise.size());
    EXPECT_EQ(log[5], "enterprise    = " + enterprise.substr(0, 238) + "\n");
    EXPECT_EQ(log[9], "VarBind #1    = \"" + value.substr(0, 236) + "\"\n");
}

TEST_F(TrapIntake, CommunityWithANulEndsThereAndBindingsAreNumberedInOrder)
{
    TestPdu t("127.0.0.5", "1.3.6.1.4.1.935.0.5", "");
    t.community = std::string("pub\0lic", 7);
    t.pdu.community = (uint8_t*)t.community.data();
    t.pdu.community_len = 7;
    std::vector<SnmpVarBind> bindings(12);
    for (size_t i = 0; i < bindings.size(); i++) {
        memset(&bindings[i], 0, sizeof bindings[i]);
        bindings[i].type = SNMP_TYPE_NULL;
        bindings[i].next = i + 1 < bindings.size() ? &bindings[i + 1] : nullptr;
    }
    bindings[3].type = 71;
    t.pdu.variables = bindings.data();
    process_pdu(SNMP_KIND_TRAP_V1, nullptr, &t.pdu, nullptr);
    std::vector<std::string> log = messages();
    ASSERT_EQ(log.size(), 21u);
    EXPECT_EQ(log[4], "community     = \"pub\"\n");
    EXPECT_EQ(log[9], "VarBind #1    = \"NULL\"\n");
    EXPECT_EQ(log[12], "VarBind #4    = \"Variable has bad type\"\n");
    EXPECT_EQ(log[20], "VarBind #12   = \"NULL\"\n");
}

TEST_F(TrapIntake, SourceTextIsTheProgramsOwnCopy)
{
    TestPdu t("127.0.0.5", "1.3.6.1.4.1.935.0.5");
    const char* text = sourceAddressText(&t.pdu);
    struct in_addr other;
    other.s_addr = inet_addr("10.9.9.9");
    inet_ntoa(other);
    EXPECT_STREQ(text, "127.0.0.5");
    EXPECT_STREQ(sourceAddressText(&t.pdu), "127.0.0.5");
}

TEST_F(TrapIntake, NonIpv4SourceIsUnknownNeverAnEarlierAddress)
{
    TestPdu v4("127.0.0.5", "1.3.6.1.4.1.935.0.5");
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &v4.pdu, nullptr);
    TestPdu other("127.0.0.6", "1.3.6.1.4.1.935.0.5");
    other.pdu.address.sin_family = AF_INET6;
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &other.pdu, nullptr);
    std::vector<std::string> log = messages();
    ASSERT_EQ(log.size(), 16u);
    EXPECT_EQ(log[2], "Source Addr   = \"127.0.0.5\"\n");
    EXPECT_EQ(log[10], "Source Addr   = \"Unknown\"\n");
}

TEST_F(TrapIntake, LostConnectionOtherKindsAndNullPdus)
{
    process_pdu(SNMP_KIND_LOST_CONNECTION, nullptr, nullptr, nullptr);
    process_pdu(99, nullptr, nullptr, nullptr);
    TestPdu t("127.0.0.5", "1.3.6.1.4.1.935.0.5");
    process_pdu(165, nullptr, &t.pdu, nullptr);
    // No PDU: the kind is logged, nothing is read.
    process_pdu(SNMP_KIND_TRAP_V1, nullptr, nullptr, nullptr);
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, nullptr, nullptr);
    process_pdu(SNMP_KIND_INFORM, nullptr, nullptr, nullptr);

    std::vector<std::string> log = messages();
    ASSERT_EQ(log.size(), 12u);
    EXPECT_EQ(log[0], "process_pdu");
    EXPECT_EQ(log[1].rfind("Lost Connection: ", 0), 0u) << log[1];
    EXPECT_EQ(log[1].back(), '\n');
    EXPECT_EQ(log[3], "Unexpected callback type, 99\n");
    EXPECT_EQ(log[5], "Unexpected callback type, 165\n");
    EXPECT_EQ(log[7], "Received TRAP in SNMPv1 format:\n");
    EXPECT_EQ(log[9], "Received TRAP in SNMPv2 format:\n");
    EXPECT_EQ(log[11], "Received INFORM in SNMPv2 format:\n");
}

// ---- the session ----

TEST_F(TrapIntake, SessionOpensAndALostConnectionClosesIt)
{
    setenv("SIMPLATFORM_TRAP_ADDR", "127.0.0.1:0", 1);
    openTrapSession();
    SnmpSession* first = trapsession;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->flags & 0x08, 0x08);

    openTrapSession();  // the platform holds one session at a time
    EXPECT_EQ(trapsession, nullptr);
    std::string reason = OVsnmpErrString(OVsnmpErrno);
    process_pdu(SNMP_KIND_LOST_CONNECTION, first, nullptr, nullptr);

    openTrapSession();  // possible again: the first one was closed
    ASSERT_NE(trapsession, nullptr);
    process_pdu(SNMP_KIND_LOST_CONNECTION, trapsession, nullptr, nullptr);
    EXPECT_EQ(trapsession, nullptr);

    setenv("SIMPLATFORM_TRAP_ADDR", "127.0.0.1:notaport", 1);
    openTrapSession();
    EXPECT_EQ(trapsession, nullptr);
    unsetenv("SIMPLATFORM_TRAP_ADDR");

    std::vector<std::string> log = messages();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0], "OVsnmpEventOpen ok:");
    EXPECT_EQ(log[1], "OVsnmpEventOpen failed:\n" + reason);
    EXPECT_EQ(log[2], "process_pdu");
    EXPECT_EQ(log[3].rfind("Lost Connection: ", 0), 0u) << log[3];
    EXPECT_EQ(log[4], "OVsnmpEventOpen ok:");
    EXPECT_EQ(log[6].rfind("Lost Connection: ", 0), 0u) << log[6];
    EXPECT_EQ(log[7].rfind("OVsnmpEventOpen failed:\n", 0), 0u) << log[7];
    EXPECT_NE(log[7].find("notaport"), std::string::npos) << log[7];
}

// ---- classification ----

TEST(ClassifyTrap, ThreeFamiliesCompareCharactersNotSubIdentifiers)
{
    struct Case {
        const char* oid;
        int code;
    } cases[] = {
        {"1.3.6.1.4.1.935.0.1", 1},
        {"1.3.6.1.4.1.935.0.2", 2},
        {"1.3.6.1.4.1.935.0.3", 3},
        {"1.3.6.1.4.1.935.0.4", 4},
        {"1.3.6.1.4.1.935.0.5", 5},
        {"1.3.6.1.4.1.935.0.6", 0},
        {"1.3.6.1.4.1.935.0.7", 7},
        {"1.3.6.1.4.1.935.0.8", 8},
        {"1.3.6.1.4.1.935.0.9", 9},
        {"1.3.6.1.4.1.935.0.10", 10},
        {"1.3.6.1.4.1.935.0.11", 11},
        {"1.3.6.1.4.1.935.0.12", 12},
        {"1.3.6.1.4.1.935.0.13", 13},
        {"1.3.6.1.4.1.935.0.14", 14},
        {"1.3.6.1.4.1.935.0.15", 15},
        {"1.3.6.1.4.1.935.0.16", 0},
        {"1.3.6.1.4.1.935.0.1.0", 0},
        {"1.3.6.1.4.1.935", 0},
        {"1.3.6.1.4.1.9350.0.1", 0},  // enters the family, matches nothing
        {"1.3.6.1.2.1.33.2.1", 5},
        {"1.3.6.1.2.1.33.2.10", 5},
        {"1.3.6.1.2.1.33.2.1.0", 5},
        {"1.3.6.1.2.1.33.2.2", 9},
        {"1.3.6.1.2.1.33.2.3", 9},
        {"1.3.6.1.2.1.33.2", 9},
        {"1.3.6.1.2.1.33.20.1", 9},
        {"1.3.6.1.2.1.33.1", 0},
        {"1.3.6.1.4.1.1356.0.1", 1},
        {"1.3.6.1.4.1.1356.0.2", 2},
        {"1.3.6.1.4.1.1356.0.3", 12},
        {"1.3.6.1.4.1.1356.0.4", 8},
        {"1.3.6.1.4.1.1356.0.5", 9},
        {"1.3.6.1.4.1.1356.0.6", 5},
        {"1.3.6.1.4.1.1356.0.7", 0},
        {"1.3.6.1.4.1.1356.0.8", 10},
        {"1.3.6.1.4.1.13560.0.1", 0},
        {"1.3.6.1.4.1.93", 0},
        {"1.3.6", 0},
        {"1.3.6.1.6.3.1.1.5.1", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        TestPdu t("127.0.0.5", c.oid);
        EXPECT_EQ(classifyTrap(&t.pdu), c.code) << c.oid;
    }
    EXPECT_EQ(classifyTrap(nullptr), 0);
}

TEST_F(TrapIntake, IdentifierOutsideTheFamiliesIsLoggedOnceMore)
{
    TestPdu t("127.0.0.5", "1.3.6.1.6.3.1.1.5.1");
    EXPECT_EQ(classifyTrap(&t.pdu), 0);
    TestPdu known("127.0.0.5", "1.3.6.1.4.1.935.0.6");
    EXPECT_EQ(classifyTrap(&known.pdu), 0);
    std::vector<std::string> expected = {
        "notify_oid    = 1.3.6.1.6.3.1.1.5.1\n",
        "enterprise    = 1.3.6.1.4.1.935\n",
    };
    EXPECT_EQ(messages(), expected);
}

// ---- host search ----

TEST_F(TrapIntake, SourceMatchesOnlyTheHostItResolvesTo)
{
    TestPdu fromB("127.0.0.22", "1.3.6.1.4.1.935.0.5");
    EXPECT_EQ(sourceMatchesHost(&fromB.pdu, "ups-b"), 1);
    // Two names that resolve to different addresses never match.
    EXPECT_EQ(sourceMatchesHost(&fromB.pdu, "ups-a"), 0);
    EXPECT_EQ(sourceMatchesHost(&fromB.pdu, "127.0.0.22"), 1);
    EXPECT_EQ(sourceMatchesHost(&fromB.pdu, "no-such-host.invalid"), 0);
    EXPECT_EQ(sourceMatchesHost(&fromB.pdu, ""), 0);
    TestPdu fromC("127.0.0.23", "1.3.6.1.4.1.935.0.5");
    EXPECT_EQ(sourceMatchesHost(&fromC.pdu, "ups-c-alias"), 1);
    fromB.pdu.address.sin_family = AF_INET6;
    EXPECT_EQ(sourceMatchesHost(&fromB.pdu, "ups-b"), 0);
}

TEST_F(TrapIntake, TrapFromTheSecondHostReachesItsFirstEntry)
{
    MapHandle* map = loadMap();
    ASSERT_NE(map, nullptr);
    record(0, "ups-a", 1000, map);
    record(1, "ups-a", 1001, map);
    record(2, "ups-b", 2000, map);
    record(3, "ups-b", 2001, map);

    TestPdu t("127.0.0.22", "1.3.6.1.4.1.935.0.5");
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &t.pdu, nullptr);

    std::vector<std::string> log = messages();
    std::vector<std::string> search(log.begin() + std::min<size_t>(8, log.size()), log.end());
    std::vector<std::string> expected = {
        "compare to ups-a", "comparing= 0", "compare to ups-a", "comparing= 0", "compare to ups-b", "comparing= 1",
    };
    EXPECT_EQ(search, expected);
    EXPECT_EQ(label(map, 2000), "hall b: Powerfail");
    EXPECT_EQ(label(map, 2001), "hall b");
    EXPECT_EQ(label(map, 1000), "ups-a");

    // An inform with the standard UPS MIB's other trap: back to ok, one suffix.
    t.setNotify("1.3.6.1.2.1.33.2.2");
    process_pdu(SNMP_KIND_INFORM, nullptr, &t.pdu, nullptr);
    EXPECT_EQ(label(map, 2000), "hall b: ok");
}

TEST_F(TrapIntake, UnmatchedOrUnclassifiedTrapsChangeNothing)
{
    MapHandle* map = loadMap();
    ASSERT_NE(map, nullptr);
    record(0, "ups-a", 1001, map);

    TestPdu stranger("127.0.0.99", "1.3.6.1.4.1.935.0.5");
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &stranger.pdu, nullptr);
    TestPdu noCode("127.0.0.21", "1.3.6.1.4.1.1356.0.7");
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &noCode.pdu, nullptr);
    TestPdu codeFour("127.0.0.21", "1.3.6.1.4.1.935.0.4");
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &codeFour.pdu, nullptr);
    TestPdu notIpv4("127.0.0.21", "1.3.6.1.4.1.935.0.5");
    notIpv4.pdu.address.sin_family = AF_INET6;
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &notIpv4.pdu, nullptr);
    EXPECT_EQ(label(map, 1001), "ups-a: Overload");

    std::vector<std::string> log = messages();
    ASSERT_EQ(log.size(), 4u * 10);
    for (size_t at : {8u, 18u, 28u, 38u})
        EXPECT_EQ(log[at], "compare to ups-a");
    EXPECT_EQ(log[9], "comparing= 0");
    EXPECT_EQ(log[19], "comparing= 1");
    EXPECT_EQ(log[29], "comparing= 1");
    EXPECT_EQ(log[39], "comparing= 0");
    EXPECT_EQ(log[32], "Source Addr   = \"Unknown\"\n");
}

TEST_F(TrapIntake, EmptyTableIsNotSearched)
{
    TestPdu t("127.0.0.21", "1.3.6.1.4.1.935.0.5");
    process_pdu(SNMP_KIND_TRAP_V2, nullptr, &t.pdu, nullptr);
    EXPECT_EQ(messages().size(), 8u);
}

}  // namespace
