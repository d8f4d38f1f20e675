// The map database: loading and validating map files, the map services over
// the open map, and the views of its state.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ovw.h"
#include "simplatform/mapdb/jsontext.h"
#include "simplatform/mapdb/mapdb.h"
#include "simplatform/mapdb/mapfile.h"
#include "simplatform/mapdb/mapservices.h"
#include "simplatform/mapdb/mapview.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/stats.h"
#include "simplatform/wiring.h"

namespace {

using nlohmann::json;
using simplatform::openMapText;

// The next count calls of operation fail as the map library fails.
void failNextMapCalls(const char* operation, int count, const std::string& text = "")
{
    std::string error;
    EXPECT_TRUE(simplatform::failNextMapCalls(operation, count, text, error)) << error;
}

const char kHall3[] = R"({
  "name": "Default",
  "submaps": [ { "id": 1, "name": "Root" }, { "id": 2, "name": "Hall 3" } ],
  "objects": [
    { "id": 100, "hostname": "ups-hall3",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935", "ifNumber": 2 },
      "symbols": [ { "id": 1000, "label": "ups-hall3", "submap": 2 },
                   { "id": 1002, "submap": 1, "status": 4 } ] },
    { "id": 101, "hostname": "router-1",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.9.1.1", "ifNumber": 24 },
      "symbols": [ { "id": 1001, "label": "router-1", "submap": 1 } ] },
    { "id": 102, "hostname": "",
      "fields": { "isIP": false, "SNMP sysObjectID": ".1.3.6.1.4.1.935" } },
    { "id": 103,
      "fields": { "isIP": true } }
  ]
})";

std::string lastError()
{
    const char* text = OVwErrorMsg(OVwError());
    return text != nullptr ? text : "";
}

class MapDb : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("SIMPLATFORM_QUIET", "1", 1);
        unsetenv("SIMPLATFORM_STATE");
        std::string error;
        ASSERT_TRUE(openMapText(kHall3, "hall3.json", error)) << error;
        map_ = OVwGetMapInfo();
        ASSERT_NE(map_, nullptr);
    }
    void TearDown() override
    {
        simplatform::endTurn();
        simplatform::closeMap();
        unsetenv("SIMPLATFORM_QUIET");
        unsetenv("SIMPLATFORM_STATE");
    }
    std::vector<OVwObjectId> listed(FieldBindList* selection)
    {
        std::vector<OVwObjectId> ids;
        ObjectList* list = OVwListObjectsOnMap(map_, selection);
        EXPECT_NE(list, nullptr) << lastError();
        for (int i = 0; list != nullptr && i < list->count; ++i) {
            ids.push_back(list->objects[i].object_id);
        }
        return ids;
    }
    json symbolState(OVwSymbolId id)
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
    MapHandle* map_ = nullptr;
};

// ---- loading ----

struct BadMap {
    const char* text;
    const char* fault;
};

std::ostream& operator<<(std::ostream& out, const BadMap& c)
{
    return out << "fault '" << c.fault << "'";
}

class MapLoader : public ::testing::TestWithParam<BadMap> { };

TEST_P(MapLoader, RefusesWithFileAndFaultAndKeepsTheOpenMap)
{
    std::string error;
    ASSERT_TRUE(openMapText(kHall3, "hall3.json", error)) << error;
    MapHandle* before = simplatform::openMapHandle();
    std::string state = simplatform::mapStateJson();

    EXPECT_FALSE(openMapText(GetParam().text, "bad.json", error));
    EXPECT_EQ(error, std::string("bad.json: ") + GetParam().fault) << GetParam().text;
    EXPECT_EQ(simplatform::openMapHandle(), before);
    EXPECT_EQ(simplatform::mapStateJson(), state);
    simplatform::closeMap();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MapLoader,
    ::testing::Values(
        BadMap{"[1, 2]", "the map must be a JSON object"},
        BadMap{R"({"name": 5})", "line 1, column 10: name: must be a string"},
        BadMap{R"({"submaps": {}})", "line 1, column 13: submaps: must be an array"},
        BadMap{R"({"objects": [1]})", "line 1, column 14: objects[0]: must be an object"},
        BadMap{R"({"submaps": [{"id": 1}]})", "line 1, column 14: submaps[0]: needs an id and a name"},
        BadMap{R"({"submaps": [{"id": 1, "name": "A"}, {"id": 1, "name": "B"}]})",
               "line 1, column 45: submaps[1].id: already the id of submaps[0]"},
        BadMap{R"({"submaps": [{"id": 1, "name": "A"}, {"id": 2, "name": "A"}]})",
               "line 1, column 58: submaps[1].name: already the name of submaps[0]"},
        BadMap{R"({"objects": [{"id": "100"}]})", "line 1, column 25: objects[0].id: must be a whole number"},
        BadMap{R"({"objects": [{"id": 0}]})",
               "line 1, column 21: objects[0].id: must be between 1 and 4294967295"},
        BadMap{R"({"objects": [{"id": -3}]})",
               "line 1, column 22: objects[0].id: must be between 1 and 4294967295"},
        BadMap{R"({"objects": [{"id": 4294967296}]})",
               "line 1, column 30: objects[0].id: must be between 1 and 4294967295"},
        BadMap{R"({"objects": [{"id": 1.5}]})", "line 1, column 23: objects[0].id: must be a whole number"},
        BadMap{R"({"objects": [{"id": 7}, {"id": 7}]})",
               "line 1, column 32: objects[1].id: already the id of objects[0]"},
        BadMap{R"({"objects": [{"id": 7, "hostname": null}]})",
               "line 1, column 39: objects[0].hostname: must be a string"},
        BadMap{R"({"objects": [{"id": 7, "fields": []}]})",
               "line 1, column 34: objects[0].fields: must be an object"},
        BadMap{R"({"objects": [{"id": 7, "fields": {"load": 1.5}}]})",
               "line 1, column 45: objects[0].fields[0]: must be true or false, a string or a whole number"},
        BadMap{R"({"objects": [{"id": 7, "fields": {"x": null}}]})",
               "line 1, column 43: objects[0].fields[0]: must be true or false, a string or a whole number"},
        BadMap{R"({"objects": [{"id": 7, "fields": {"n": 2147483648}}]})",
               "line 1, column 49: objects[0].fields[0]: out of range"},
        BadMap{R"({"objects": [{"id": 7, "fields": {"isIP": true}}, {"id": 8, "fields": {"isIP": "yes"}}]})",
               "line 1, column 84: objects[1].fields[0]: string, but boolean in objects[0]"},
        BadMap{R"({"submaps": [{"id": 1, "name": "R"}],
                  "objects": [{"id": 7, "symbols": [{"id": 5, "submap": 1}]},
                              {"id": 8, "symbols": [{"id": 5, "submap": 1}]}]})",
               "line 3, column 60: objects[1].symbols[0].id: already the id of objects[0].symbols[0]"},
        BadMap{R"({"submaps": [{"id": 1, "name": "R"}],
                  "objects": [{"id": 7, "symbols": [{"id": 5, "submap": 2}]}]})",
               "line 2, column 73: objects[0].symbols[0].submap: no submap has this id"},
        BadMap{R"({"submaps": [{"id": 1, "name": "R"}],
                  "objects": [{"id": 7, "symbols": [{"id": 5}]}]})",
               "line 2, column 53: objects[0].symbols[0]: needs an id and a submap"},
        BadMap{R"({"submaps": [{"id": 1, "name": "R"}],
                  "objects": [{"id": 7, "symbols": [{"id": 5, "submap": 1, "label": 3}]}]})",
               "line 2, column 85: objects[0].symbols[0].label: must be a string"},
        BadMap{R"({"submaps": [{"id": 1, "name": "R"}],
                  "objects": [{"id": 7, "symbols": [{"id": 5, "submap": 1, "status": "critical"}]}]})",
               "line 2, column 95: objects[0].symbols[0].status: must be a whole number"},
        BadMap{"{\"name\": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}",
               "line 1, column 41: nested deeper than 32 levels"}));

TEST(MapLoaderText, NotJsonSaysWhereTheParserStopped)
{
    std::string error;
    EXPECT_FALSE(openMapText("{ \"name\": ", "broken.json", error));
    EXPECT_EQ(error, "broken.json: line 1, column 11: not valid JSON");
    EXPECT_EQ(simplatform::openMapHandle(), nullptr);
}

// Whoever may open a map may not read every file: a fault says where it
// lies, never what the file holds there.
TEST(MapLoaderText, FaultsNeverQuoteTheFile)
{
    const char* texts[] = {
        "\"hunter2 is the password\n",
        R"({"submaps": [{"id": 1, "name": "hunter2"}, {"id": 2, "name": "hunter2"}]})",
        R"({"objects": [{"id": 7, "fields": {"hunter2": 1.5}}]})",
    };
    for (const char* text : texts) {
        std::string error;
        EXPECT_FALSE(openMapText(text, "secret.json", error));
        EXPECT_EQ(error.rfind("secret.json: line 1, column ", 0), 0u) << error;
        EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
    }
}

// The limits hold while the file is parsed: the value one too many is
// refused where it stands, before more of the file is built.
TEST(MapLoaderText, TooManyValuesAreRefusedWhereTheyStand)
{
    std::string text = "{\"name\": [";
    for (size_t i = 0; i < simplatform::kMaxMapValues; ++i) {
        text += "0,";
    }
    text += "0]}";
    std::string error;
    EXPECT_FALSE(openMapText(text, "many.json", error));
    // The root object, the array and 1999998 numbers are within the limit.
    EXPECT_EQ(error, "many.json: line 1, column " + std::to_string(10 + 2 * (simplatform::kMaxMapValues - 1)) +
                         ": more than 2000000 values");
}

// One past each count limit is refused at the list that holds it, the
// limit named; symbols count over the whole map, not per object.
TEST(MapLoaderText, CountLimitsAreRefusedAtTheirList)
{
    auto list = [](size_t count, const std::string& item) {
        std::string text;
        for (size_t i = 1; i <= count; ++i) {
            text += (i > 1 ? "," : "") + item + std::to_string(i) + "}";
        }
        return text;
    };
    std::string error;
    std::string submaps = "{\"submaps\": [" + list(simplatform::kMaxSubmaps + 1, "{\"name\":\"s\",\"id\":") + "]}";
    EXPECT_FALSE(openMapText(submaps, "m.json", error));
    EXPECT_EQ(error, "m.json: line 1, column 13: submaps: too large: more than 10000 submaps");

    std::string fields = "{\"objects\": [{\"id\": 1, \"fields\": {";
    for (size_t i = 0; i <= simplatform::kMaxFieldsPerObject; ++i) {
        fields += (i > 0 ? ",\"f" : "\"f") + std::to_string(i) + "\":1";
    }
    EXPECT_FALSE(openMapText(fields + "}}]}", "m.json", error));
    EXPECT_EQ(error, "m.json: line 1, column 34: objects[0].fields: too large: more than 256 fields");

    size_t half = simplatform::kMaxSymbols / 2;
    std::string symbols =
        "{\"submaps\": [{\"id\": 1, \"name\": \"R\"}], \"objects\": [{\"id\": 1, \"symbols\": [" +
        list(half, "{\"submap\":1,\"id\":") + "]}, {\"id\": 2, \"symbols\": [" +
        list(half + 1, "{\"submap\":1,\"id\":") + "]}]}";
    EXPECT_FALSE(openMapText(symbols, "m.json", error));
    EXPECT_NE(error.find(": objects[1].symbols: too large: more than 100000 symbols on the map"),
              std::string::npos)
        << error;
    EXPECT_EQ(simplatform::openMapHandle(), nullptr);
}

TEST(MapLoaderText, BracketsInsideStringsDoNotCountAsNesting)
{
    std::string error;
    std::string name(100, '[');
    EXPECT_TRUE(openMapText("{\"name\": \"" + name + "\\\"{{{{\"}", "brackets.json", error)) << error;
    simplatform::closeMap();
}

TEST(MapLoaderFile, FileFaultsNameTheFile)
{
    std::string error;
    EXPECT_FALSE(simplatform::openMapFile("/nonexistent/dir/map.json", error));
    EXPECT_EQ(error.rfind("/nonexistent/dir/map.json: cannot read: ", 0), 0u) << error;

    std::string bad = KELVOROV_TEST_DATA "/maps/symbol-on-unknown-submap.json";
    EXPECT_FALSE(simplatform::openMapFile(bad, error));
    EXPECT_EQ(error, bad + ": line 6, column 66: objects[0].symbols[0].submap: no submap has this id");
}

// Opening a FIFO for reading waits for a writer; the loader must not wait.
// Should it wait all the same, a writer comes after a while, so that the
// test fails instead of hanging.
TEST(MapLoaderFile, FifoOrFolderIsRefusedWithoutWaiting)
{
    std::string error;
    EXPECT_FALSE(simplatform::openMapFile(KELVOROV_TEST_DATA "/maps", error));
    EXPECT_EQ(error, KELVOROV_TEST_DATA "/maps: not a regular file");

    char dir[] = "/tmp/kelvorov-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fifo = std::string(dir) + "/map.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    std::thread rescuer([&] {
        for (int i = 0; i < 60 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
        }
    });
    EXPECT_FALSE(simplatform::openMapFile(fifo, error));
    done = true;
    rescuer.join();
    EXPECT_EQ(error, fifo + ": not a regular file");
    std::filesystem::remove_all(dir);
}

TEST(MapLoaderFile, FileOverTheSizeCapIsTooLarge)
{
    char path[] = "/tmp/kelvorov-bigmap-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(path, std::ios::binary);
        out << "{\"name\": \"" << std::string(simplatform::kMaxMapFileBytes, 'x') << "\"}";
    }
    std::string error;
    EXPECT_FALSE(simplatform::openMapFile(path, error));
    EXPECT_EQ(error, std::string(path) + ": too large: more than 16777216 bytes");
    std::filesystem::remove(path);
}

TEST(MapLoaderFile, GoodFileOpensAndDefaultsApply)
{
    std::string error;
    ASSERT_TRUE(simplatform::openMapFile(KELVOROV_TEST_DATA "/maps/hall3.json", error)) << error;
    json state = json::parse(simplatform::mapStateJson());
    EXPECT_EQ(state["name"], "Default");
    // A symbol without a label is labelled with its object's host name; the
    // status defaults to normal.
    EXPECT_EQ(state["objects"][0]["symbols"][1]["label"], "ups-hall3");
    EXPECT_EQ(state["objects"][0]["symbols"][1]["status"], 4);
    EXPECT_EQ(state["objects"][1]["symbols"][0]["status"], 2);
    EXPECT_EQ(state["objects"][1]["symbols"][0]["statusName"], "normal");
    simplatform::closeMap();
}

TEST(StartupMap, BadMapEndsTheStartWithStatusTwo)
{
    std::string bad = KELVOROV_TEST_DATA "/maps/symbol-on-unknown-submap.json";
    setenv("SIMPLATFORM_MAP", bad.c_str(), 1);
    EXPECT_EXIT(simplatform::loadStartupMap(), ::testing::ExitedWithCode(2),
                "^" + bad +
                    ": line 6, column 66: objects\\[0\\]\\.symbols\\[0\\]\\.submap: no submap has this id\n$");
    setenv("SIMPLATFORM_MAP", KELVOROV_TEST_DATA "/maps/hall3.json", 1);
    EXPECT_TRUE(simplatform::loadStartupMap());
    EXPECT_NE(simplatform::openMapHandle(), nullptr);
    simplatform::closeMap();
    unsetenv("SIMPLATFORM_MAP");
    EXPECT_FALSE(simplatform::loadStartupMap());
    EXPECT_EQ(simplatform::openMapHandle(), nullptr);
}

// ---- the map services ----

TEST_F(MapDb, ListMatchesEveryBindingInMapOrder)
{
    OVwFieldId isIP = OVwDbFieldNameToFieldId("isIP");
    OVwFieldId sysObjectID = OVwDbFieldNameToFieldId("SNMP sysObjectID");
    OVwFieldId ifNumber = OVwDbFieldNameToFieldId("ifNumber");
    ASSERT_NE(isIP, 0u);
    ASSERT_NE(sysObjectID, 0u);
    ASSERT_NE(ifNumber, 0u);

    FieldValue yes{0, OVw_BOOLEAN_FIELD, {1}, 0};
    FieldValue no{0, OVw_BOOLEAN_FIELD, {0}, 0};
    FieldValue ups{0, OVw_STRING_FIELD, {0}, 0};
    char upsText[] = ".1.3.6.1.4.1.935";
    ups.un.string_val = upsText;
    FieldValue two{0, OVw_INTEGER_FIELD, {2}, 0};
    FieldValue wrongType{0, OVw_STRING_FIELD, {0}, 0};
    char trueText[] = "true";
    wrongType.un.string_val = trueText;

    FieldBinding ip{isIP, &yes};
    FieldBinding notIp{isIP, &no};
    FieldBinding isUps{sysObjectID, &ups};
    FieldBinding twoInterfaces{ifNumber, &two};
    FieldBinding ipAsText{isIP, &wrongType};

    FieldBindList onlyIp{1, &ip};
    EXPECT_EQ(listed(&onlyIp), (std::vector<OVwObjectId>{100, 101, 103}));
    FieldBindList onlyNotIp{1, &notIp};
    EXPECT_EQ(listed(&onlyNotIp), (std::vector<OVwObjectId>{102}));
    FieldBinding ipAndUps[] = {ip, isUps};
    FieldBindList both{2, ipAndUps};
    EXPECT_EQ(listed(&both), (std::vector<OVwObjectId>{100}));
    FieldBindList interfaces{1, &twoInterfaces};
    EXPECT_EQ(listed(&interfaces), (std::vector<OVwObjectId>{100}));
    FieldBindList typeMismatch{1, &ipAsText};
    EXPECT_EQ(listed(&typeMismatch), (std::vector<OVwObjectId>{}));
    FieldBindList none{0, nullptr};
    EXPECT_EQ(listed(&none), (std::vector<OVwObjectId>{100, 101, 102, 103}));
    EXPECT_EQ(listed(nullptr), (std::vector<OVwObjectId>{100, 101, 102, 103}));

    ObjectList* list = OVwListObjectsOnMap(map_, &onlyIp);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->objects[0].num_symbols, 2);
    EXPECT_EQ(list->objects[1].num_symbols, 1);
    EXPECT_EQ(list->objects[2].num_symbols, 0);
}

TEST_F(MapDb, ListRefusesMalformedSelectionsWithAReason)
{
    FieldValue yes{0, OVw_BOOLEAN_FIELD, {1}, 0};
    FieldValue listValue{1, OVw_BOOLEAN_FIELD, {1}, 0};
    FieldValue oddType{0, 9, {1}, 0};
    OVwFieldId isIP = OVwDbFieldNameToFieldId("isIP");
    struct Case {
        FieldBinding binding;
        int32_t count;
        const char* error;
    } cases[] = {
        {{0, &yes}, 1, "selection binding 0: no field with id 0"},
        {{isIP, nullptr}, 1, "selection binding 0 has no value"},
        {{isIP, &listValue}, 1, "selection binding 0 is a list; only single values can be matched"},
        {{isIP, &oddType}, 1, "selection binding 0 has unknown type code 9"},
        {{isIP, &yes}, -1, "the selection's binding list is malformed"},
    };
    for (Case& c : cases) {
        FieldBindList selection{c.count, &c.binding};
        EXPECT_EQ(OVwListObjectsOnMap(map_, &selection), nullptr) << c.error;
        EXPECT_EQ(lastError(), c.error);
    }
    FieldBindList noArray{1, nullptr};
    EXPECT_EQ(OVwListObjectsOnMap(map_, &noArray), nullptr);
}

TEST_F(MapDb, FieldNamesAreCaseSensitiveAndIdsStayAcrossMaps)
{
    OVwFieldId isIP = OVwDbFieldNameToFieldId("isIP");
    EXPECT_NE(isIP, 0u);
    EXPECT_EQ(OVwDbFieldNameToFieldId("isip"), 0u);
    EXPECT_EQ(lastError(), "no field named \"isip\"");
    EXPECT_EQ(OVwDbFieldNameToFieldId(nullptr), 0u);

    std::string error;
    ASSERT_TRUE(
        openMapText(R"({"objects": [{"id": 5, "fields": {"other": 1, "isIP": false}}]})", "other.json", error))
        << error;
    EXPECT_EQ(OVwDbFieldNameToFieldId("isIP"), isIP);
    EXPECT_NE(OVwDbFieldNameToFieldId("other"), isIP);
}

TEST_F(MapDb, FieldValuesCarryTheirTypeCodes)
{
    FieldValue* value = OVwDbGetFieldValue(100, OVwDbFieldNameToFieldId("isIP"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, OVw_BOOLEAN_FIELD);
    EXPECT_EQ(value->is_list, 0);
    EXPECT_EQ(value->un.boolean_val, 1);

    value = OVwDbGetFieldValue(100, OVwDbFieldNameToFieldId("SNMP sysObjectID"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, OVw_STRING_FIELD);
    EXPECT_STREQ(value->un.string_val, ".1.3.6.1.4.1.935");

    value = OVwDbGetFieldValue(101, OVwDbFieldNameToFieldId("ifNumber"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, OVw_INTEGER_FIELD);
    EXPECT_EQ(value->un.int_val, 24);

    EXPECT_EQ(OVwDbGetFieldValue(103, OVwDbFieldNameToFieldId("ifNumber")), nullptr);
    EXPECT_EQ(lastError(), "object 103 has no value for field \"ifNumber\"");
    EXPECT_EQ(OVwDbGetFieldValue(999, OVwDbFieldNameToFieldId("isIP")), nullptr);
    EXPECT_EQ(lastError(), "no object with id 999");
    EXPECT_EQ(OVwDbGetFieldValue(100, 0), nullptr);
    EXPECT_EQ(lastError(), "no field with id 0");
}

TEST_F(MapDb, HostNameIsNullWhenAbsentAndEmptyWhenEmpty)
{
    const char* name = OVwDbObjectIdToHostname(100);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "ups-hall3");
    name = OVwDbObjectIdToHostname(102);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(OVwDbObjectIdToHostname(103), nullptr);
    EXPECT_EQ(lastError(), "object 103 has no host name");
    EXPECT_EQ(OVwDbObjectIdToHostname(999), nullptr);
    EXPECT_EQ(lastError(), "no object with id 999");
}

TEST_F(MapDb, SymbolsOfAnObjectInMapOrder)
{
    SymbolList* symbols = OVwGetSymbolsByObject(map_, 100);
    ASSERT_NE(symbols, nullptr);
    ASSERT_EQ(symbols->count, 2);
    EXPECT_EQ(symbols->symbols[0].symbol_id, 1000u);
    EXPECT_STREQ(symbols->symbols[0].label, "ups-hall3");
    EXPECT_EQ(symbols->symbols[1].symbol_id, 1002u);

    EXPECT_EQ(OVwGetSymbolsByObject(map_, 102), nullptr);
    EXPECT_EQ(OVwError(), simplatform::kMapErrorNoSymbols);
    EXPECT_EQ(lastError(), "object 102 has no symbols");
    EXPECT_EQ(OVwGetSymbolsByObject(map_, 999), nullptr);
    EXPECT_EQ(lastError(), "no object with id 999");
    EXPECT_EQ(OVwGetSymbolsByObject(nullptr, 100), nullptr);
    EXPECT_EQ(lastError(), "the map handle is not the open map's");
}

TEST_F(MapDb, StaleHandleOrNoMapIsRefused)
{
    std::string error;
    ASSERT_TRUE(openMapText(R"({"name": "Other", "submaps": [{"id": 1, "name": "Root"}],
                                "objects": [{"id": 100, "symbols": [{"id": 1000, "submap": 1}]}]})",
                            "other.json", error))
        << error;
    MapHandle* fresh = OVwGetMapInfo();
    EXPECT_NE(fresh, map_);
    EXPECT_EQ(OVwGetSymbolInfo(map_, 1000), nullptr);
    EXPECT_EQ(OVwError(), simplatform::kMapErrorNoMap);
    EXPECT_NE(OVwGetSymbolInfo(fresh, 1000), nullptr);

    simplatform::closeMap();
    EXPECT_EQ(OVwGetMapInfo(), nullptr);
    EXPECT_EQ(lastError(), "no map is open");
    EXPECT_EQ(OVwSetStatusOnSymbol(fresh, 1000, 4), 0);
    EXPECT_EQ(OVwDbObjectIdToHostname(100), nullptr);
    EXPECT_EQ(simplatform::mapStateJson(), "");
}

// The program keeps the handle it got at start: the open map opened again
// (same name) must keep it good, and keep what happened to its symbols.
TEST_F(MapDb, ReopeningTheOpenMapKeepsItsHandleAndState)
{
    ASSERT_NE(OVwSetSymbolLabel(map_, 1000, "ups-hall3: Powerfail"), 0);
    ASSERT_NE(OVwSetSymbolStatusSource(map_, 1000, 3), 0);
    std::string error;
    std::string again = kHall3;
    const std::string gone = R"({ "id": 1002, "submap": 1, "status": 4 })";
    again.replace(again.find(gone), gone.size(), R"({ "id": 1003, "submap": 1 })");
    ASSERT_TRUE(openMapText(again, "hall3.json", error)) << error;
    EXPECT_EQ(OVwGetMapInfo(), map_);
    EXPECT_NE(OVwSetStatusOnSymbol(map_, 1000, 4), 0) << lastError();
    json symbol = symbolState(1000);
    EXPECT_EQ(symbol["label"], "ups-hall3: Powerfail");
    EXPECT_EQ(symbol["statusSource"], 3);
    EXPECT_EQ(symbol["status"], 4);
    EXPECT_TRUE(symbolState(1002).is_null());
    EXPECT_EQ(symbolState(1003)["label"], "ups-hall3");
}

TEST_F(MapDb, SettingsAreRecordedAndFailOnUnknownSymbols)
{
    EXPECT_NE(OVwSetSymbolStatusSource(map_, 1000, 3), 0);
    EXPECT_NE(OVwSetSymbolBehavior(map_, 1000, 2, "kelvor", "kelvor", nullptr), 0);
    json symbol = symbolState(1000);
    EXPECT_EQ(symbol["statusSource"], 3);
    EXPECT_EQ(symbol["behavior"], (json{{"code", 2}, {"name", "kelvor"}, {"altName", "kelvor"}}));
    EXPECT_TRUE(symbolState(1001)["statusSource"].is_null());
    EXPECT_TRUE(symbolState(1001)["behavior"].is_null());

    EXPECT_NE(OVwSetSymbolBehavior(map_, 1001, 5, nullptr, "alt", nullptr), 0);
    EXPECT_EQ(symbolState(1001)["behavior"], (json{{"code", 5}, {"name", nullptr}, {"altName", "alt"}}));

    EXPECT_EQ(OVwSetSymbolStatusSource(map_, 4242, 3), 0);
    EXPECT_EQ(lastError(), "no symbol with id 4242");
    EXPECT_EQ(OVwSetSymbolBehavior(map_, 4242, 2, "kelvor", "kelvor", nullptr), 0);
    EXPECT_EQ(OVwSetStatusOnSymbol(map_, 4242, 4), 0);
    EXPECT_EQ(OVwSetSymbolLabel(map_, 4242, "x"), 0);
    EXPECT_EQ(OVwGetSymbolInfo(map_, 4242), nullptr);
    EXPECT_EQ(OVwError(), simplatform::kMapErrorUnknownSymbol);
    EXPECT_EQ(OVwSetSymbolLabel(map_, 1000, nullptr), 0);
    EXPECT_EQ(lastError(), "no label given");
}

TEST_F(MapDb, ReturnedDescriptionKeepsItsLabelUntilReleased)
{
    SymbolInfo* before = OVwGetSymbolInfo(map_, 1000);
    ASSERT_NE(before, nullptr);
    ASSERT_NE(OVwSetSymbolLabel(map_, 1000, "ups-hall3: Powerfail"), 0);
    SymbolInfo* after = OVwGetSymbolInfo(map_, 1000);
    ASSERT_NE(after, nullptr);
    EXPECT_STREQ(before->label, "ups-hall3");
    EXPECT_STREQ(after->label, "ups-hall3: Powerfail");
    EXPECT_EQ(after->symbol_id, 1000u);
}

TEST_F(MapDb, StatusesAreNamedForDisplay)
{
    const std::pair<int, const char*> names[] = {
        {0, "unknown"},    {1, "unmanaged"}, {3, "warning"},  {4, "critical"},   {5, "minor"},
        {6, "restricted"}, {7, "major"},     {8, "status 8"}, {-1, "status -1"}, {2, "normal"}};
    for (const auto& [status, name] : names) {
        ASSERT_NE(OVwSetStatusOnSymbol(map_, 1001, status), 0);
        EXPECT_EQ(symbolState(1001)["statusName"], name) << status;
    }
}

TEST_F(MapDb, OneConsoleLineAndOneCountPerChange)
{
    unsetenv("SIMPLATFORM_QUIET");
    uint64_t changes = simplatform::stats().mapChanges;
    ::testing::internal::CaptureStdout();
    OVwSetStatusOnSymbol(map_, 1000, 4);
    OVwSetSymbolLabel(map_, 1000, "ups-hall3: Powerfail");
    OVwSetStatusOnSymbol(map_, 1000, 4);                    // same status: no change
    OVwSetSymbolLabel(map_, 1000, "ups-hall3: Powerfail");  // same label: no change
    OVwSetSymbolLabel(map_, 1000, "say \"hi\"\n\\");
    OVwSetSymbolStatusSource(map_, 1000, 3);  // not a status or label change
    EXPECT_EQ(simplatform::stats().mapChanges - changes, 3u) << "counted at once";
    simplatform::endTurn();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "map: symbol 1000 \"ups-hall3\" critical (4)\n"
                   "map: symbol 1000 \"ups-hall3: Powerfail\" critical (4)\n"
                   "map: symbol 1000 \"say \\\"hi\\\"\\x0A\\\\\" critical (4)\n");
    EXPECT_EQ(simplatform::stats().mapChanges - changes, 3u);

    setenv("SIMPLATFORM_QUIET", "1", 1);
    ::testing::internal::CaptureStdout();
    OVwSetStatusOnSymbol(map_, 1000, 7);
    simplatform::endTurn();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(simplatform::stats().mapChanges - changes, 4u);
}

TEST_F(MapDb, StateKeepsTheMapFileFormAndSurvivesAnyLabelBytes)
{
    json state = json::parse(simplatform::mapStateJson());
    EXPECT_EQ(state["submaps"], json::parse(R"([{"id":1,"name":"Root"},{"id":2,"name":"Hall 3"}])"));
    ASSERT_EQ(state["objects"].size(), 4u);
    EXPECT_EQ(state["objects"][0]["fields"]["SNMP sysObjectID"], ".1.3.6.1.4.1.935");
    EXPECT_EQ(state["objects"][0]["fields"]["ifNumber"], 2);
    EXPECT_EQ(state["objects"][2]["hostname"], "");
    EXPECT_FALSE(state["objects"][3].contains("hostname"));
    EXPECT_EQ(state["objects"][0]["symbols"][0],
              json::parse(R"({"id":1000,"label":"ups-hall3","submap":2,"status":2,"statusName":"normal",
                              "statusSource":null,"behavior":null,"changedAt":null})"));
    std::string text = simplatform::mapStateJson();
    EXPECT_EQ(text.find('\n'), std::string::npos);

    // A label cut in the middle of a UTF-8 sequence is still shown.
    ASSERT_NE(OVwSetSymbolLabel(map_, 1000, "hall \xC3"), 0);
    EXPECT_EQ(symbolState(1000)["label"], "hall \xEF\xBF\xBD");
}

// A map of count objects with one symbol each (10000 + n, on submap 1).
std::string manyObjects(size_t count)
{
    std::string text = R"({"name":"Many","submaps":[{"id":1,"name":"Root"}],"objects":[)";
    for (size_t n = 0; n < count; ++n) {
        std::string id = std::to_string(n);
        text += (n > 0 ? "," : "") + std::string(R"({"id":)") + std::to_string(100 + n) + R"(,"symbols":[{"id":)" +
                std::to_string(10000 + n) + R"(,"label":"s)" + id + R"(","submap":1}]})";
    }
    return text + "]}";
}

// Slices that keep their instant write the map as it was when they began,
// whatever changes between them: an object still to be written is copied
// once, before its first change; one already written needs no copy. A map
// closed under them ends them.
TEST_F(MapDb, SlicesKeepTheInstantTheyBeganAt)
{
    std::string error;
    ASSERT_TRUE(openMapText(manyObjects(3 * simplatform::kSliceObjects), "many.json", error)) << error;
    map_ = OVwGetMapInfo();
    std::string before = simplatform::mapStateJson();
    auto appendObject = [](std::string& out, const simplatform::MapDatabase&,
                           const simplatform::ObjectData& object, size_t index, unsigned) {
        out += index > 0 ? "," : "";
        simplatform::appendObjectState(out, object);
    };
    simplatform::MapSlices slices;
    slices.begin(*simplatform::openMap(), 1, true);
    std::string text;
    simplatform::appendMapStateHead(text, *simplatform::openMap());
    ASSERT_EQ(slices.appendSlice(text, appendObject), simplatform::MapSlices::Step::More);
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 10000, 4), 0);
    ASSERT_NE(OVwSetSymbolLabel(map_, 10000 + 3 * simplatform::kSliceObjects - 1, "changed"), 0);
    ASSERT_NE(OVwSetSymbolBehavior(map_, 10000 + 3 * simplatform::kSliceObjects - 1, 1, "a", nullptr, nullptr), 0);
    EXPECT_EQ(slices.kept(), 1u);
    while (slices.appendSlice(text, appendObject) != simplatform::MapSlices::Step::Done) { }
    EXPECT_TRUE(text + "]}" == before);
    EXPECT_NE(simplatform::mapStateJson(), before);

    slices.begin(*simplatform::openMap(), 2, true);
    ASSERT_EQ(slices.appendSlice(text, appendObject), simplatform::MapSlices::Step::More);
    simplatform::closeMap();
    EXPECT_FALSE(slices.running());
    EXPECT_TRUE(slices.lost());
}

// A change of status or label takes its time; settings do not.
TEST_F(MapDb, ChangesOfStatusOrLabelTakeTheirTime)
{
    ASSERT_NE(OVwSetSymbolStatusSource(map_, 1000, 3), 0);
    EXPECT_TRUE(symbolState(1000)["changedAt"].is_null());
    std::int64_t before = std::time(nullptr);
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 4), 0);
    std::int64_t after = std::time(nullptr);
    std::int64_t at = 0;
    ASSERT_TRUE(simplatform::parseUtcTime(symbolState(1000)["changedAt"].get<std::string>(), at));
    EXPECT_GE(at, before);
    EXPECT_LE(at, after);
    EXPECT_TRUE(symbolState(1001)["changedAt"].is_null());
}

// The state is written as text; it must be the text the JSON library
// gives for the same values, invalid UTF-8 included.
TEST(JsonText, StringsAreWhatTheJsonLibraryWrites)
{
    const std::string strings[] = {
        "plain",
        std::string("nul\0, tab\t, \x01\x1f\x7f \"q\" \\ /", 23),
        "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
        "\xC3"
        "A",
        "\x80\xBF",
        "\xE2\x82",
        "\xE2\x82"
        "A",
        "\xED\xA0\x80",
        "\xF4\x90\x80\x80",
        "\xC0\xAF",
        "\xFF\xFEx",
        "end\xF0\x9F",
    };
    for (const std::string& text : strings) {
        std::string written;
        simplatform::appendJsonString(written, text);
        EXPECT_EQ(written, json(text).dump(-1, ' ', false, json::error_handler_t::replace))
            << json(text).dump(-1, ' ', true, json::error_handler_t::replace);
    }
}

TEST(JsonText, TimesAreRfc3339InUtcBothWays)
{
    struct Case {
        std::int64_t seconds;
        const char* text;
    };
    const Case cases[] = {{0, "1970-01-01T00:00:00Z"},
                          {951782400, "2000-02-29T00:00:00Z"},
                          {1735689599, "2024-12-31T23:59:59Z"},
                          {-1, "1969-12-31T23:59:59Z"},
                          {253402300799, "9999-12-31T23:59:59Z"},
                          {-62167219200, "0000-01-01T00:00:00Z"}};
    for (const Case& c : cases) {
        std::string text;
        simplatform::appendUtcTime(text, c.seconds);
        EXPECT_EQ(text, c.text);
        std::int64_t back = 0;
        EXPECT_TRUE(simplatform::parseUtcTime(text, back)) << text;
        EXPECT_EQ(back, c.seconds) << text;
    }
    std::int64_t ignored = 0;
    for (const char* bad : {"2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01T24:00:00Z",
                            "2024-01-01 00:00:00Z", "2024-01-01T00:00:00+01:00", "2024-1-01T00:00:00Z", ""}) {
        EXPECT_FALSE(simplatform::parseUtcTime(bad, ignored)) << bad;
    }
}

TEST_F(MapDb, SubmapCreateAcknowledgementsAreCounted)
{
    EXPECT_EQ(simplatform::submapCreateAcknowledgements(1000), 0u);
    EXPECT_NE(OVwAckUserSubmapCreate(map_, 0, 1000), 0);
    EXPECT_NE(OVwAckUserSubmapCreate(map_, 2, 1000), 0);
    EXPECT_EQ(simplatform::submapCreateAcknowledgements(1000), 2u);
    EXPECT_EQ(OVwAckUserSubmapCreate(map_, 9, 1000), 0);
    EXPECT_EQ(lastError(), "no submap with id 9");
    EXPECT_EQ(OVwAckUserSubmapCreate(map_, 0, 4242), 0);
    EXPECT_EQ(simplatform::submapCreateAcknowledgements(1000), 2u);
    EXPECT_EQ(simplatform::submapCreateAcknowledgements(4242), 0u);
}

TEST_F(MapDb, InjectedFailuresFailTheNamedCallsOnly)
{
    failNextMapCalls("OVwSetSymbolBehavior", 2);
    EXPECT_EQ(OVwSetSymbolBehavior(map_, 1000, 2, "kelvor", "kelvor", nullptr), 0);
    EXPECT_EQ(OVwError(), simplatform::kMapErrorInjected);
    EXPECT_EQ(lastError(), "injected failure of OVwSetSymbolBehavior");
    EXPECT_NE(OVwSetSymbolStatusSource(map_, 1000, 3), 0);
    EXPECT_EQ(OVwSetSymbolBehavior(map_, 1000, 2, "kelvor", "kelvor", nullptr), 0);
    EXPECT_NE(OVwSetSymbolBehavior(map_, 1000, 2, "kelvor", "kelvor", nullptr), 0);
    EXPECT_TRUE(symbolState(1000)["behavior"].is_object());

    failNextMapCalls("OVwGetMapInfo", 1);
    failNextMapCalls("OVwGetMapInfo", 0);
    EXPECT_EQ(OVwGetMapInfo(), map_);
    std::string error;
    EXPECT_FALSE(simplatform::failNextMapCalls("OVwNoSuchCall", 1, "", error));
    EXPECT_EQ(error, "not a map service: OVwNoSuchCall");
}

TEST_F(MapDb, LongRunReleasesEveryRecord)
{
    // Run under the sanitizer build, LeakSanitizer checks that every record
    // handed out is freed by the release at the next message.
    // Elsewhere the heap in use must not grow with the number of rounds.
    FieldBindList* selection = nullptr;
    size_t afterWarmUp = 0;
    for (int round = 0; round < 20000; ++round) {
        if (round == 1000) {
            afterWarmUp = mallinfo2().uordblks;
        }
        ASSERT_NE(OVwListObjectsOnMap(map_, selection), nullptr);
        ASSERT_NE(OVwGetSymbolsByObject(map_, 100), nullptr);
        ASSERT_NE(OVwGetSymbolInfo(map_, 1000), nullptr);
        ASSERT_NE(OVwDbGetFieldValue(100, OVwDbFieldNameToFieldId("SNMP sysObjectID")), nullptr);
        ASSERT_NE(OVwDbObjectIdToHostname(100), nullptr);
        OVwSetSymbolLabel(map_, 1000, round % 2 ? "ups-hall3: ok" : "ups-hall3: Powerfail");
        simplatform::endTurn();
    }
    size_t atEnd = mallinfo2().uordblks;
    EXPECT_LT(atEnd, afterWarmUp + 64 * 1024) << "heap grew from " << afterWarmUp << " to " << atEnd;
}

}  // namespace
