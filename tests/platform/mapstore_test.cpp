// The map's store: journal records checked and torn ends dropped, the state
// read back into the map by symbol id, a snapshot written while the map
// changes, files that cannot be read kept aside, another map's state, what
// is said of failed writes, and the SNMPv3 engine's boots.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ovw.h"
#include "simplatform/mapdb/jsontext.h"
#include "simplatform/mapdb/mapchanges.h"
#include "simplatform/mapdb/mapdb.h"
#include "simplatform/mapdb/mapfile.h"
#include "simplatform/mapdb/mapview.h"
#include "simplatform/mapstore/journal.h"
#include "simplatform/mapstore/statestore.h"
#include "simplatform/mapstore/writefaults.h"
#include "simplatform/runtime/handover.h"
#include "simplatform/runtime/stats.h"
#include "simplatform/trapport/trapsecurity.h"
#include "simplatform/wiring.h"

namespace {

using nlohmann::json;
using simplatform::StateStore;

const char kHall3[] = R"({
  "name": "Default",
  "submaps": [ { "id": 1, "name": "Root" }, { "id": 2, "name": "Hall 3" } ],
  "objects": [
    { "id": 100, "hostname": "ups-hall3", "fields": { "isIP": true },
      "symbols": [ { "id": 1000, "label": "ups-hall3", "submap": 2 } ] },
    { "id": 101, "hostname": "router-1", "fields": { "isIP": true },
      "symbols": [ { "id": 1001, "label": "router-1", "submap": 1 } ] }
  ]
})";

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The store the keeper hands the map's changes to.
StateStore* g_store = nullptr;
const simplatform::MapKeeper kKeeper = {[](simplatform::SymbolData& s) { g_store->keep(s); },
                                        [] { g_store->mapClosing(); }, [] { g_store->mapOpened(); }};

class MapStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("SIMPLATFORM_QUIET", "1", 1);
        char dir[] = "/tmp/kelvorov-store-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        folder_ = dir;
        path_ = folder_ + "/state.json";
        openMap(kHall3);
    }
    void TearDown() override
    {
        crash();
        simplatform::closeMap();
        unsetenv("SIMPLATFORM_QUIET");
        std::filesystem::remove_all(folder_);
    }
    void openMap(const std::string& text)
    {
        std::string error;
        ASSERT_TRUE(simplatform::openMapText(text, "map.json", error)) << error;
        map_ = OVwGetMapInfo();
    }
    // A start: the store opened over the open map.
    void start()
    {
        store_ = std::make_unique<StateStore>(path_);
        g_store = store_.get();
        store_->open();
        simplatform::setMapKeeper(&kKeeper);
    }
    // The process ends at once: nothing more is written, and the map goes.
    void crash()
    {
        simplatform::setMapKeeper(nullptr);
        simplatform::endTurn();
        store_.reset();
        g_store = nullptr;
    }
    // The next start on the map file's values.
    void restart(const std::string& mapText = kHall3)
    {
        crash();
        simplatform::closeMap();
        openMap(mapText);
        start();
    }
    json symbol(OVwSymbolId id)
    {
        json state = json::parse(simplatform::mapStateJson());
        for (const auto& object : state["objects"]) {
            for (const auto& s : object["symbols"]) {
                if (s["id"] == id) {
                    return s;
                }
            }
        }
        return json();
    }
    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string folder_;
    std::string path_;
    MapHandle* map_ = nullptr;
    std::unique_ptr<StateStore> store_;
};

// Every cut of the last record (a crash in the middle of its write) reads
// back as the records before it; a damaged record with more after it is no
// crash's doing, and the journal is refused.
TEST(JournalText, ATornEndIsDroppedADamagedMiddleIsRefused)
{
    std::string text;
    simplatform::appendRecordLine(text, R"({"map":"Default","journal":1})");
    simplatform::appendRecordLine(text, R"({"symbols":[]})");
    const size_t whole = text.size();
    simplatform::appendRecordLine(text, R"({"symbols":[],"engineBoots":7})");
    simplatform::JournalText journal;
    std::string error;
    for (size_t cut = whole; cut < text.size(); ++cut) {
        ASSERT_TRUE(simplatform::readJournalText(text.substr(0, cut), journal, error)) << cut << ": " << error;
        EXPECT_EQ(journal.records.size(), 2u) << cut;
        EXPECT_EQ(journal.goodBytes, whole) << cut;
        EXPECT_EQ(journal.tornEnd, cut > whole) << cut;
    }
    ASSERT_TRUE(simplatform::readJournalText(text, journal, error)) << error;
    EXPECT_EQ(journal.records.size(), 3u);
    EXPECT_FALSE(journal.tornEnd);

    // Its blocks never written: NUL bytes where the record was, and after.
    std::string zeroed = text.substr(0, whole) + std::string(text.size() - whole - 1, '\0') + "\n" +
                         std::string(100, '\0');
    ASSERT_TRUE(simplatform::readJournalText(zeroed, journal, error)) << error;
    EXPECT_EQ(journal.goodBytes, whole);
    EXPECT_TRUE(journal.tornEnd);

    std::string damaged = text;
    damaged[whole - 4] = 'X';
    EXPECT_FALSE(simplatform::readJournalText(damaged, journal, error));
    EXPECT_EQ(error, "record 2 fails its checksum and more follows it");
}

// A symbol in both takes the stored values, its time of change too; one
// only in the map file keeps the file's; one only in the state is dropped.
// The changes after the last flush are what a crash loses, and only those.
TEST_F(MapStore, ASymbolTakesItsStoredValuesById)
{
    start();
    ASSERT_EQ(readAll(path_),
              simplatform::mapStateJson().substr(0, simplatform::mapStateJson().size() - 1) + ",\"journal\":1}\n");
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 4), 0);
    ASSERT_NE(OVwSetSymbolLabel(map_, 1000, "ups-hall3: Powerfail"), 0);
    ASSERT_NE(OVwSetSymbolBehavior(map_, 1001, 2, "kelvor", nullptr, nullptr), 0);
    json changed = symbol(1000);
    ASSERT_TRUE(store_->flush());
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1001, 7), 0);  // never flushed

    restart(R"({"name": "Default", "submaps": [{"id": 1, "name": "Root"}, {"id": 2, "name": "Hall 3"}],
                "objects": [{"id": 100, "symbols": [{"id": 1000, "label": "ups-hall3", "submap": 2}]},
                            {"id": 102, "symbols": [{"id": 1002, "label": "new", "submap": 1}]}]})");
    EXPECT_EQ(symbol(1000), changed);
    EXPECT_EQ(symbol(1002)["label"], "new");
    EXPECT_TRUE(symbol(1002)["changedAt"].is_null());
    EXPECT_TRUE(symbol(1001).is_null());

    restart();
    EXPECT_EQ(symbol(1001)["status"], 2) << "the change after the flush is lost";
    EXPECT_EQ(symbol(1001)["behavior"], (json{{"code", 2}, {"name", "kelvor"}, {"altName", nullptr}}));
}

// A crash in the middle of a record's write leaves a torn end: dropped when
// read back, and cut off before the next record, which would otherwise
// follow a damaged one.
TEST_F(MapStore, ATornEndIsCutOffBeforeTheNextRecord)
{
    start();
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 4), 0);
    ASSERT_TRUE(store_->flush());
    crash();
    std::ofstream(path_ + ".journal-1", std::ios::app) << "0123abcd {\"symbols\":[{\"id\":10";
    restart();
    EXPECT_EQ(symbol(1000)["status"], 4);
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 3), 0);
    ASSERT_TRUE(store_->flush());
    restart();
    EXPECT_EQ(symbol(1000)["status"], 3);
    EXPECT_FALSE(store_->failing());
}

std::string bigMap(int objects)
{
    std::string text = R"({"name": "Big", "submaps": [{"id": 1, "name": "Root"}], "objects": [)";
    for (int i = 1; i <= objects; ++i) {
        text += (i > 1 ? "," : "") + std::string("{\"id\": ") + std::to_string(i) +
                ", \"symbols\": [{\"id\": " + std::to_string(i) + ", \"label\": \"symbol\", \"submap\": 1}]}";
    }
    return text + "]}";
}

// Once the journal has outgrown the snapshot, a new one is written a slice
// at a time while the map changes: with the new journal it gives the exact
// state, and the old journals go.
TEST_F(MapStore, ASnapshotWrittenWhileTheMapChangesReadsBackExactly)
{
    const int objects = 2 * static_cast<int>(simplatform::kSliceObjects) + 100;  // three slices
    crash();
    simplatform::closeMap();
    openMap(bigMap(objects));
    start();
    for (const char* label : {"first", "second"}) {
        for (int id = 1; id <= objects; ++id) {
            OVwSetSymbolLabel(map_, static_cast<OVwSymbolId>(id), label);
        }
        ASSERT_TRUE(store_->flush());
    }
    ASSERT_TRUE(store_->snapshotInProgress());
    int steps = 0;
    for (; store_->snapshotInProgress() && steps < 10; ++steps) {
        // Before and behind the slice being written.
        OVwSetSymbolLabel(map_, static_cast<OVwSymbolId>(1 + steps), "third");
        OVwSetSymbolLabel(map_, static_cast<OVwSymbolId>(objects - steps), "third");
        store_->snapshotStep();
    }
    EXPECT_EQ(steps, 5) << "three slices, the file's flush, the rename";
    EXPECT_EQ(files(), (std::vector<std::string>{"state.json", "state.json.journal-2"}));
    EXPECT_EQ(json::parse(readAll(path_))["journal"], 2);
    std::string live = simplatform::mapStateJson();
    ASSERT_TRUE(store_->flush());
    restart(bigMap(objects));
    EXPECT_EQ(simplatform::mapStateJson(), live);
}

struct BadStore {
    const char* name;
    const char* snapshot;
    const char* journal;  // written as it stands, after a good first record
    const char* fault;
};

class UnreadableStore : public MapStore, public ::testing::WithParamInterface<BadStore> { };

// What cannot be read is said, kept aside under a name of its own (never
// over one that exists), and the map file's values are used and stored.
TEST_P(UnreadableStore, IsKeptAsideAndTheMapFileUsed)
{
    const BadStore& bad = GetParam();
    std::ofstream(path_) << bad.snapshot;
    std::string journal;
    simplatform::appendRecordLine(journal, R"({"map":"Default","journal":1})");
    journal += bad.journal;
    std::ofstream(path_ + ".journal-1") << journal;
    // The names the time of this second and the next would give.
    std::string taken[2];
    for (int i = 0; i < 2; ++i) {
        std::string stamp;
        simplatform::appendUtcTime(stamp, std::time(nullptr) + i);
        stamp.erase(std::remove_if(stamp.begin(), stamp.end(), [](char c) { return c == '-' || c == ':'; }),
                    stamp.end());
        taken[i] = path_ + ".bad-" + stamp;
        std::ofstream(taken[i]) << "older";
    }
    ::testing::internal::CaptureStderr();
    start();
    std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(said.rfind(
                  "simplatform: state file " + path_ + ": " + bad.fault + "; kept aside as " + path_ + ".bad-", 0),
              0u)
        << said;
    std::string aside = said.substr(said.find(" as ") + 4);
    aside = aside.substr(0, aside.find(','));
    EXPECT_EQ(readAll(aside), bad.snapshot);
    EXPECT_EQ(readAll(aside.substr(0, path_.size()) + ".journal-1" + aside.substr(path_.size())), journal);
    EXPECT_EQ(readAll(taken[0]), "older");
    EXPECT_EQ(readAll(taken[1]), "older");
    EXPECT_EQ(json::parse(readAll(path_))["objects"][0]["symbols"][0]["label"], "ups-hall3");
}

const char kGoodSnapshot[] = R"({"name":"Default","objects":[],"journal":1})";

INSTANTIATE_TEST_SUITE_P(
    Stores, UnreadableStore,
    ::testing::Values(BadStore{"not JSON", "{\"name\":", "", "line 1, column 9: not valid JSON"},
                      BadStore{"not a state",
                               R"({"name":"Default","objects":[{"symbols":[{"id":0}]}],"journal":1})", "",
                               "objects[0].symbols[0]: has no label"},
                      BadStore{"damaged journal", kGoodSnapshot, "00000000 {}\n00000000 {}\n",
                               "state.json.journal-1: record 2 fails its checksum and more follows it"}),
    [](const ::testing::TestParamInfo<BadStore>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

// The state of another map is said and left as it is until the first
// change, which replaces it with the open map's.
TEST_F(MapStore, AnotherMapsStateIsReplacedAtTheFirstChange)
{
    start();
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 4), 0);
    ASSERT_TRUE(store_->flush());
    std::string defaults = readAll(path_);
    std::string other = kHall3;
    other.replace(other.find("Default"), 7, "Other");
    crash();
    simplatform::closeMap();
    openMap(other);
    ::testing::internal::CaptureStderr();
    start();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "simplatform: state file " + path_ +
                  " holds the map \"Default\", not \"Other\": replaced at the first change\n");
    EXPECT_EQ(symbol(1000)["status"], 2);
    ASSERT_TRUE(store_->takeEngineBoots(1) > 0 && store_->flush());
    EXPECT_EQ(readAll(path_), defaults);
    ASSERT_NE(OVwSetSymbolStatusSource(map_, 1001, 3), 0);
    ASSERT_TRUE(store_->flush());
    EXPECT_EQ(json::parse(readAll(path_))["name"], "Other");
    restart(other);
    EXPECT_EQ(symbol(1001)["statusSource"], 3);
}

// Nothing in the state file's place but a regular file is read or
// replaced, and a link planted where a journal will be is never followed.
TEST_F(MapStore, NeverWritesThroughALinkOrReplacesADevice)
{
    std::string victim = folder_ + "/victim";
    std::ofstream(victim) << "victim";
    ASSERT_EQ(symlink(victim.c_str(), (path_ + ".journal-1").c_str()), 0);
    start();
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 4), 0);
    ASSERT_TRUE(store_->flush());
    EXPECT_EQ(readAll(victim), "victim");
    restart();
    EXPECT_EQ(symbol(1000)["status"], 4);

    std::string fifo = folder_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("SIMPLATFORM_STATE", fifo.c_str(), 1);
    EXPECT_EXIT(simplatform::checkStateFile(), ::testing::ExitedWithCode(2),
                "^simplatform: state file " + fifo + ": not a regular file\n$");
    unsetenv("SIMPLATFORM_STATE");
    // One that appears later is left alone: the snapshot is not put there.
    std::filesystem::remove(path_);
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    std::string other = kHall3;
    other.replace(other.find("Default"), 7, "Other");
    simplatform::setMapKeeper(nullptr);
    openMap(other);
    store_->mapOpened();
    simplatform::setMapKeeper(&kKeeper);
    uint64_t errors = simplatform::stats().stateWriteErrors;
    ::testing::internal::CaptureStderr();
    ASSERT_NE(OVwSetStatusOnSymbol(map_, 1000, 3), 0);
    EXPECT_FALSE(store_->flush());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "simplatform: cannot write the state file " + path_ + ": not a regular file\n");
    EXPECT_EQ(simplatform::stats().stateWriteErrors, errors + 1);
    struct stat st { };
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    std::filesystem::remove(path_);
}

// A flood of failing writes is one line, then one a minute with the count,
// then one when it works again; each failure is counted.
TEST(WriteFaults, SaidOnceThenAtMostOnceAMinuteAndWhenItWorksAgain)
{
    simplatform::WriteFaults faults("/s/state.json");
    uint64_t errors = simplatform::stats().stateWriteErrors;
    ::testing::internal::CaptureStderr();
    for (int second = 0; second < 150; ++second) {
        faults.failed("cannot flush: Input/output error", 1000 + second);
    }
    faults.succeeded();
    faults.succeeded();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "simplatform: cannot write the state file /s/state.json: cannot flush: Input/output error\n"
              "simplatform: writing the state file /s/state.json failed 60 more times: cannot flush: "
              "Input/output error\n"
              "simplatform: writing the state file /s/state.json failed 60 more times: cannot flush: "
              "Input/output error\n"
              "simplatform: the state file /s/state.json is written again, after 150 failed writes\n");
    EXPECT_EQ(simplatform::stats().stateWriteErrors, errors + 150);
    EXPECT_FALSE(faults.failing());
}

// The boots grow at every start, whatever the clock says: stored with the
// state, and from the clock alone never stuck at one value past 2038.
TEST_F(MapStore, EngineBootsGrowAtEveryStartEvenWhenTheClockRepeats)
{
    start();
    uint32_t first = store_->takeEngineBoots(5);
    restart();
    uint32_t second = store_->takeEngineBoots(5);
    EXPECT_EQ(first, 5u);
    EXPECT_EQ(second, 6u);
    restart();
    EXPECT_EQ(store_->takeEngineBoots(900), 900u) << "the clock, when it is ahead";

    const int64_t y2038 = int64_t{1} << 31;
    uint32_t later = simplatform::engineBootsFromClock(y2038 + 60);
    EXPECT_LT(simplatform::engineBootsFromClock(y2038), later);
    EXPECT_LT(later, 2147483647u);
    EXPECT_EQ(simplatform::engineBootsFromClock(0), 1u);
}

}  // namespace
