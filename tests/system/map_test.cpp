// The UPS symbol table, UPS discovery and the display of UPS conditions,
// run against the simulated platform with the debug log on.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/debuglog.h"
#include "logdrive.h"
#include "map/upsmap.h"
#include "platform/ovw.h"
#include "simplatform/mapdb/mapdb.h"
#include "simplatform/mapdb/mapfile.h"
#include "simplatform/mapdb/mapservices.h"
#include "simplatform/mapdb/mapview.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/stats.h"

namespace {

using nlohmann::json;

// The next count calls of operation fail as the map library fails.
void failNextMapCalls(const char* operation, int count, const std::string& text = "")
{
    std::string error;
    EXPECT_TRUE(simplatform::failNextMapCalls(operation, count, text, error)) << error;
}

const std::string kFrame = "****************************";

// Two IP objects; the first is the UPS with two symbols.
const char kHall3[] = R"map({
  "name": "Default",
  "submaps": [ { "id": 1, "name": "Root" }, { "id": 2, "name": "Hall 3" } ],
  "objects": [
    { "id": 100, "hostname": "ups-hall3",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935" },
      "symbols": [ { "id": 1000, "label": "ups-hall3", "submap": 2 },
                   { "id": 1003, "label": "ups-hall3 (root)", "submap": 1 } ] },
    { "id": 101, "hostname": "router-1",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.9.1.1" },
      "symbols": [ { "id": 1001, "label": "router-1", "submap": 1 } ] }
  ]
})map";

// A map of IP objects with the given hostname member (or none) and
// sysObjectID member, each with one symbol 1000 + index.
std::string mapOf(const std::vector<std::pair<std::string, std::string>>& objects)
{
    std::string text = R"({"submaps": [{"id": 1, "name": "Root"}], "objects": [)";
    for (size_t i = 0; i < objects.size(); ++i) {
        std::string id = std::to_string(100 + i);
        std::string symbol = std::to_string(1000 + i);
        text += (i ? "," : "") + std::string("{\"id\": ") + id + objects[i].first +
                ", \"fields\": {\"isIP\": true" + objects[i].second + "}, \"symbols\": [{\"id\": " + symbol +
                ", \"label\": \"symbol-" + symbol + "\", \"submap\": 1}]}";
    }
    return text + "]}";
}

class MapSystem : public LogDrive {
protected:
    void SetUp() override
    {
        LogDrive::SetUp();
        unsetenv("SIMPLATFORM_STATE");
        clearupstable();
        upssymbolcount = 0;
        open(kHall3);
    }
    void TearDown() override
    {
        simplatform::endTurn();
        simplatform::closeMap();
        clearupstable();
        upssymbolcount = 0;
        LogDrive::TearDown();
    }
    void open(const std::string& text)
    {
        std::string error;
        ASSERT_TRUE(simplatform::openMapText(text, "test.json", error)) << error;
        map_ = OVwGetMapInfo();
        ASSERT_NE(map_, nullptr);
        std::filesystem::remove(drive_ + "/temp/kelvorov.txt");
    }
    json symbolState(OVwSymbolId id) const
    {
        json state = json::parse(simplatform::mapStateJson());
        for (const auto& object : state["objects"]) {
            for (const auto& symbol : object["symbols"]) {
                if (symbol["id"] == id) {
                    return symbol;
                }
            }
        }
        return json();
    }
    std::vector<OVwSymbolId> tableSymbols() const
    {
        std::vector<OVwSymbolId> ids;
        for (const UpsSymbolEntry* entry = upstablewalk(nullptr); entry != nullptr; entry = upstablewalk(entry)) {
            ids.push_back(entry->symbolid);
        }
        return ids;
    }
    MapHandle* map_ = nullptr;
};

// ---- the table ----

TEST_F(MapSystem, HostNameKeepsAtMost63Characters)
{
    std::string name63(63, 'a');
    std::string name64 = std::string(63, 'b') + "c";
    addupssymbol(name63.c_str(), 1, map_);
    addupssymbol(name64.c_str(), 2, map_);
    addupssymbol(std::string(5000, 'd').c_str(), 3, map_);
    EXPECT_EQ(upssymboltable[0].hostname, name63);
    EXPECT_EQ(upssymboltable[1].hostname, std::string(63, 'b'));
    EXPECT_EQ(upssymboltable[2].hostname, std::string(63, 'd'));
    EXPECT_EQ(upssymboltable[2].symbolid, 3u);
    EXPECT_EQ(upssymboltable[2].map, map_);
    EXPECT_EQ(upssymbolcount, 3);
}

TEST_F(MapSystem, FullTableDropsFurtherEntries)
{
    for (int i = 0; i < UPS_TABLE_SIZE; ++i) {
        addupssymbol("ups", static_cast<OVwSymbolId>(i + 1), map_);
    }
    UpsSymbolEntry before[UPS_TABLE_SIZE];
    memcpy(before, upssymboltable, sizeof before);
    addupssymbol("late", 99, map_);
    EXPECT_EQ(upssymbolcount, UPS_TABLE_SIZE);
    EXPECT_EQ(memcmp(before, upssymboltable, sizeof before), 0);
    EXPECT_EQ(tableSymbols().size(), static_cast<size_t>(UPS_TABLE_SIZE));
    EXPECT_EQ(upstablewalk(&upssymboltable[UPS_TABLE_SIZE - 1]), nullptr);

    // Clearing zeroes the entries but leaves the count.
    clearupstable();
    EXPECT_EQ(upssymbolcount, UPS_TABLE_SIZE);
    EXPECT_EQ(upstablewalk(nullptr), nullptr);
}

TEST_F(MapSystem, EmptyHostNameEndsEveryWalk)
{
    EXPECT_EQ(upstablewalk(nullptr), nullptr);
    addupssymbol("ups-a", 1, map_);
    addupssymbol("", 2, map_);
    addupssymbol("ups-b", 3, map_);
    EXPECT_EQ(upssymbolcount, 3);
    EXPECT_EQ(tableSymbols(), std::vector<OVwSymbolId>{1});
}

// ---- discovery ----

TEST_F(MapSystem, DiscoveryTakesTheUpsSymbolsAndLogsEachStep)
{
    char hostname[8] = "";  // the host name is cut to the caller's buffer
    ObjectInfo* found = checksubmapforbox(map_, nullptr, hostname, sizeof hostname);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->object_id, 100u);
    EXPECT_STREQ(hostname, "ups-hal");

    std::vector<std::string> expected{
        "checksubmapforbox: objlist->count=2",
        "checksubmapforbox: .1.3.6.1.4.1.935",
        "checksubmapforbox: num_symbols=2\n",
        "setsymbolsforups\n",
        "setsymbolsforups: count=2\n",
        "createsymbolsforups: ups-hall3",
        "setsymbolbehavoir ok\n",
        "createsymbolsforups: ups-hall3 (root)",
        "setsymbolbehavoir ok\n",
    };
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(tableSymbols(), (std::vector<OVwSymbolId>{1000, 1003}));
    EXPECT_STREQ(upssymboltable[1].hostname, "ups-hall3");
    EXPECT_EQ(upssymboltable[1].map, map_);
    for (OVwSymbolId id : {1000u, 1003u}) {
        json symbol = symbolState(id);
        EXPECT_EQ(symbol["statusSource"], 3);
        EXPECT_EQ(symbol["behavior"], (json{{"code", 2}, {"name", "kelvor"}, {"altName", "kelvor"}}));
    }
    EXPECT_TRUE(symbolState(1001)["behavior"].is_null());
}

TEST_F(MapSystem, OnlyTheFirstUpsOfAMapIsTaken)
{
    const std::string ups = ", \"SNMP sysObjectID\": \".1.3.6.1.4.1.935\"";
    open(mapOf({{", \"hostname\": \"first\"", ups}, {", \"hostname\": \"second\"", ups}}));
    ObjectInfo* found = checksubmapforbox(map_, nullptr, nullptr, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->object_id, 100u);
    EXPECT_EQ(tableSymbols(), std::vector<OVwSymbolId>{1000});
    EXPECT_TRUE(symbolState(1001)["behavior"].is_null());
}

TEST_F(MapSystem, ObjectWithoutHostNameIsSkippedUnread)
{
    // The first object would qualify by its identifier, but has no host
    // name; its identifier is never read, so the log shows only the second
    // object's. An empty host name does count.
    const std::string ups = ", \"SNMP sysObjectID\": \".1.3.6.1.4.1.935\"";
    open(mapOf({{"", ups}, {", \"hostname\": \"\"", ups}}));
    ObjectInfo* found = checksubmapforbox(map_, nullptr, nullptr, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->object_id, 101u);
    auto logged = messages();
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(logged[1], "checksubmapforbox: .1.3.6.1.4.1.935");
    EXPECT_EQ(logged[2], "checksubmapforbox: num_symbols=1\n");
    EXPECT_EQ(upssymbolcount, 1);
    EXPECT_EQ(upstablewalk(nullptr), nullptr);  // recorded with its empty name
}

struct NotUps {
    const char* fields;
    bool logsValue;
};

std::ostream& operator<<(std::ostream& out, const NotUps& c)
{
    return out << "fields '" << c.fields << "'";
}

class NotAUps : public MapSystem, public ::testing::WithParamInterface<NotUps> { };

TEST_P(NotAUps, IdentifierMustBeTheExactText)
{
    open(mapOf({{", \"hostname\": \"box\"", GetParam().fields}}));
    EXPECT_EQ(checksubmapforbox(map_, nullptr, nullptr, 0), nullptr);
    EXPECT_FALSE(isUpsObject(100));
    EXPECT_EQ(upssymbolcount, 0);
    auto logged = messages();
    // The count line, then a value line for each string value read.
    EXPECT_EQ(logged.size(), GetParam().logsValue ? 3u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, NotAUps,
                         ::testing::Values(NotUps{", \"SNMP sysObjectID\": \"1.3.6.1.4.1.935\"", true},
                                           NotUps{", \"SNMP sysObjectID\": \".1.3.6.1.4.1.935.1\"", true},
                                           NotUps{", \"SNMP sysObjectID\": \".1.3.6.1.4.1.93\"", true},
                                           NotUps{", \"SNMP sysObjectID\": \"\"", true},
                                           NotUps{", \"SNMP sysObjectID\": 935", false},
                                           NotUps{", \"SNMP sysObjectID\": true", false}, NotUps{"", false}));

TEST_F(MapSystem, NoObjectListLogsThePlatformsText)
{
    failNextMapCalls("OVwListObjectsOnMap", 1);
    EXPECT_EQ(checksubmapforbox(map_, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(messages(), std::vector<std::string>{"checksubmapforbox: injected failure of OVwListObjectsOnMap"});

    simplatform::closeMap();
    EXPECT_EQ(checksubmapforbox(nullptr, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(messages().back(), "checksubmapforbox: no map is open");
    EXPECT_EQ(upssymbolcount, 0);
}

TEST_F(MapSystem, NoSymbolListLogsThePlatformsTextAndRecordsNothing)
{
    open(R"({"objects": [{"id": 100, "hostname": "ups",
        "fields": {"isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935"}}]})");
    EXPECT_NE(checksubmapforbox(map_, nullptr, nullptr, 0), nullptr);
    std::vector<std::string> expected{
        "checksubmapforbox: objlist->count=1",         "checksubmapforbox: .1.3.6.1.4.1.935",
        "checksubmapforbox: num_symbols=0\n",          "setsymbolsforups\n",
        "setsymbolsforups: object 100 has no symbols",
    };
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(upssymbolcount, 0);
}

TEST_F(MapSystem, FailingBehaviourIsLoggedAndTheSymbolStillRecorded)
{
    failNextMapCalls("OVwSetSymbolBehavior", 1);
    ASSERT_NE(checksubmapforbox(map_, nullptr, nullptr, 0), nullptr);
    auto logged = messages();
    ASSERT_EQ(logged.size(), 9u);
    EXPECT_EQ(logged[6], "setsymbolbehavoir: injected failure of OVwSetSymbolBehavior");
    EXPECT_EQ(logged[8], "setsymbolbehavoir ok\n");
    EXPECT_EQ(tableSymbols(), (std::vector<OVwSymbolId>{1000, 1003}));
    EXPECT_EQ(symbolState(1000)["statusSource"], 3);
    EXPECT_TRUE(symbolState(1000)["behavior"].is_null());
}

TEST_F(MapSystem, FullTableStillTakesTheSymbolsUnderControl)
{
    for (int i = 0; i < UPS_TABLE_SIZE - 1; ++i) {
        addupssymbol("other", 1, map_);
    }
    ASSERT_NE(checksubmapforbox(map_, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(upssymbolcount, UPS_TABLE_SIZE);
    EXPECT_EQ(upssymboltable[UPS_TABLE_SIZE - 1].symbolid, 1000u);
    EXPECT_EQ(symbolState(1003)["statusSource"], 3);
    EXPECT_EQ(symbolState(1003)["behavior"]["name"], "kelvor");
}

TEST_F(MapSystem, LongPlatformErrorTextsAreCutToTheMessageBuffer)
{
    std::string text(5000, 'E');
    failNextMapCalls("OVwListObjectsOnMap", 1, text);
    EXPECT_EQ(checksubmapforbox(map_, nullptr, nullptr, 0), nullptr);
    failNextMapCalls("OVwGetSymbolsByObject", 1, text);
    failNextMapCalls("OVwSetSymbolBehavior", 1, text);
    EXPECT_NE(checksubmapforbox(map_, nullptr, nullptr, 0), nullptr);
    ObjectInfo object{100, 0, 2, {0, 0, 0, 0}};
    setsymbolsforups(map_, &object, "ups-hall3");
    auto logged = messages();
    ASSERT_EQ(logged.size(), 12u);
    auto cut = [&](const std::string& prefix) {
        return prefix + text.substr(0, MESSAGE_BUFFER_SIZE - 1 - prefix.size());
    };
    EXPECT_EQ(logged[0], cut("checksubmapforbox: "));
    EXPECT_EQ(logged[5], cut("setsymbolsforups: "));
    EXPECT_EQ(logged[9], cut("setsymbolbehavoir: "));
    EXPECT_EQ(tableSymbols(), (std::vector<OVwSymbolId>{1000, 1003}));
}

TEST_F(MapSystem, OpeningASubmapDiscoversInFramesAndAddsAgain)
{
    std::string error;
    SubmapInfo* submap = simplatform::submapInfoByName("Hall 3", error);
    ASSERT_NE(submap, nullptr) << error;
    SubmapOpenCB(nullptr, OVw_EVENT_SUBMAP_OPEN, map_, submap);
    SubmapOpenCB(nullptr, OVw_EVENT_SUBMAP_OPEN, map_, submap);
    EXPECT_EQ(tableSymbols(), (std::vector<OVwSymbolId>{1000, 1003, 1000, 1003}));

    auto logged = messages();
    ASSERT_EQ(logged.size(), 26u);
    EXPECT_EQ(logged[0], kFrame + "\nstart SubmapOpenCB\n");
    EXPECT_EQ(logged[1], "opened submap = Hall 3\n");
    EXPECT_EQ(logged[2], "checksubmapforbox: objlist->count=2");
    EXPECT_EQ(logged[11], "submapforbox is found");
    EXPECT_EQ(logged[12], "Ende mapOpenCB\n" + kFrame + "\n");
    EXPECT_EQ(std::vector<std::string>(logged.begin() + 13, logged.end()),
              std::vector<std::string>(logged.begin(), logged.begin() + 13));
}

TEST_F(MapSystem, SubmapWithoutUpsIsFramedWithoutFound)
{
    open(mapOf({{", \"hostname\": \"router\"", ""}}));
    SubmapInfo submap{1, nullptr};
    SubmapOpenCB(nullptr, OVw_EVENT_SUBMAP_OPEN, map_, &submap);
    std::vector<std::string> expected{
        kFrame + "\nstart SubmapOpenCB\n",
        "opened submap = \n",
        "checksubmapforbox: objlist->count=1",
        "Ende mapOpenCB\n" + kFrame + "\n",
    };
    EXPECT_EQ(messages(), expected);
}

TEST_F(MapSystem, SubmapCreateRequestIsAcknowledgedWithNone)
{
    std::string error;
    SymbolInfo* symbol = simplatform::symbolInfoById(1001, error);
    ASSERT_NE(symbol, nullptr) << error;
    userSubmapCreateCB(nullptr, OVw_EVENT_USER_SUBMAP_CREATE, map_, symbol);
    EXPECT_EQ(messages(), std::vector<std::string>{"userSubmapCreateCB: router-1"});
    EXPECT_EQ(simplatform::submapCreateAcknowledgements(1001), 1u);
    userSubmapCreateCB(nullptr, OVw_EVENT_USER_SUBMAP_CREATE, map_, nullptr);
    EXPECT_EQ(messages().back(), "userSubmapCreateCB: ");
}

// ---- showing UPS conditions ----

struct Shown {
    int code;
    int status;  // 0: unchanged
    const char* suffix;
};

std::ostream& operator<<(std::ostream& out, const Shown& c)
{
    return out << "code " << c.code << " -> status " << c.status << " suffix '" << (c.suffix ? c.suffix : "(none)")
               << "'";
}

class ShowEvent : public MapSystem, public ::testing::WithParamInterface<Shown> { };

TEST_P(ShowEvent, CodeSetsStatusAndLabelFromTheTable)
{
    ASSERT_NE(OVwSetSymbolLabel(map_, 1000, "ups-hall3: Battery Low"), 0);
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 5), 0);
    addupssymbol("ups-hall3", 1000, map_);
    showUpsEvent(upstablewalk(nullptr), GetParam().code);
    json symbol = symbolState(1000);
    if (GetParam().status == 0) {
        EXPECT_EQ(symbol["label"], "ups-hall3: Battery Low");
        EXPECT_EQ(symbol["status"], 5);
    } else {
        EXPECT_EQ(symbol["label"], std::string("ups-hall3") + GetParam().suffix);
        EXPECT_EQ(symbol["status"], GetParam().status);
    }
    EXPECT_TRUE(messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Codes, ShowEvent,
                         ::testing::Values(Shown{1, 4, ": Communication Lost"}, Shown{2, 7, ": Overload"},
                                           Shown{3, 3, ": Test failed"}, Shown{4, 0, nullptr},
                                           Shown{5, 4, ": Powerfail"}, Shown{6, 0, nullptr},
                                           Shown{7, 7, ": Battery Low"}, Shown{8, 2, ": ok"}, Shown{9, 2, ": ok"},
                                           Shown{10, 2, ": Test over"}, Shown{11, 2, ": ok"},
                                           Shown{12, 7, ": turned off"}, Shown{13, 7, ": sleeping"},
                                           Shown{14, 2, ": ok"}, Shown{15, 7, ": rebooting"}, Shown{0, 0, nullptr},
                                           Shown{16, 0, nullptr}, Shown{-1, 0, nullptr},
                                           Shown{1 << 30, 0, nullptr}));

struct Relabel {
    std::string label;
    int code;
    std::string expected;
};

std::ostream& operator<<(std::ostream& out, const Relabel& c)
{
    return out << "label '" << c.label.substr(0, 24) << (c.label.size() > 24 ? "...' (" : "' (") << c.label.size()
               << " chars) code " << c.code;
}

class ShowEventLabel : public MapSystem, public ::testing::WithParamInterface<Relabel> { };

TEST_P(ShowEventLabel, BaseIsTheLabelBeforeItsFirstColonAtMost64)
{
    ASSERT_NE(OVwSetSymbolLabel(map_, 1000, GetParam().label.c_str()), 0);
    UpsSymbolEntry entry{"ups-hall3", 1000, map_};
    showUpsEvent(&entry, GetParam().code);
    EXPECT_EQ(symbolState(1000)["label"], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, ShowEventLabel,
    ::testing::Values(Relabel{"ups-hall3", 5, "ups-hall3: Powerfail"},
                      Relabel{"ups-hall3: Powerfail", 8, "ups-hall3: ok"}, Relabel{"", 8, ": ok"},
                      Relabel{"ups:hall3", 5, "ups: Powerfail"},
                      Relabel{std::string(64, 'x'), 8, std::string(64, 'x') + ": ok"},
                      Relabel{std::string(65, 'x') + "yz", 1, std::string(64, 'x') + ": Communication Lost"},
                      Relabel{std::string(300, 'y') + ": old", 15, std::string(64, 'y') + ": rebooting"}));

TEST_F(MapSystem, UnknownSymbolChangesNothing)
{
    uint64_t changes = simplatform::stats().mapChanges;
    UpsSymbolEntry entry{"ghost", 4242, map_};
    showUpsEvent(&entry, 5);
    showUpsEvent(nullptr, 5);
    failNextMapCalls("OVwGetSymbolInfo", 1);
    UpsSymbolEntry real{"ups-hall3", 1000, map_};
    showUpsEvent(&real, 5);
    EXPECT_EQ(simplatform::stats().mapChanges, changes);
    EXPECT_EQ(symbolState(1000)["label"], "ups-hall3");
}

}  // namespace
