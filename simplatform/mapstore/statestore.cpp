// The store: the turn's records gathered, written to the journal and
// flushed; snapshots written whole or a slice at a time; the files read
// back at start and when their map is opened again.
#include "statestore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "../mapdb/jsontext.h"
#include "../mapdb/mapdb.h"
#include "../mapdb/mapview.h"
#include "../runtime/loop.h"
#include "journal.h"
#include "storefiles.h"

namespace simplatform {
namespace {

// RFC 3414: boots stay at their highest value once they reach it.
constexpr std::uint32_t kMaxEngineBoots = 2147483647;

std::int64_t steadySeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

#ifdef KELVOROV_STORE_TIMING
// The benchmark's build (bench/run): how long the store held up a turn of
// the loop at most, said at exit. Only the outermost step counts.
struct StepTimes {
    int depth = 0;
    std::uint64_t steps = 0;
    std::int64_t longest = 0;  // microseconds
    const char* longestWhat = "";
    std::int64_t start = 0;  // the reading back at start
};

StepTimes& stepTimes()
{
    static StepTimes times;
    return times;
}

class TimedStep {
public:
    explicit TimedStep(const char* what)
        : what_(what)
        , begun_(std::chrono::steady_clock::now())
    {
        stepTimes().depth++;
    }
    ~TimedStep()
    {
        StepTimes& t = stepTimes();
        if (--t.depth > 0) {
            return;
        }
        auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                          begun_);
        if (std::string(what_) == "start") {
            t.start = took.count();
            return;
        }
        t.steps++;
        if (took.count() > t.longest) {
            t.longest = took.count();
            t.longestWhat = what_;
        }
    }
    TimedStep(const TimedStep&) = delete;
    TimedStep& operator=(const TimedStep&) = delete;

private:
    const char* what_;
    std::chrono::steady_clock::time_point begun_;
};
#define STORE_STEP(what) TimedStep timedStep(what)
#else
#define STORE_STEP(what)
#endif

}  // namespace

StateStore::StateStore(std::string path)
    : path_(std::move(path))
    , faults_(path_)
{
}

StateStore::~StateStore()
{
    stopTimers();
    snapshot_.abandon();
}

void StateStore::open()
{
    STORE_STEP("start");
    handle_ = openMapHandle();
    removeUnfinishedSnapshots(path_);
    readBack(openMap());
}

// Reads the files and gives map the stored values of its symbols; what
// cannot be read is kept aside, and then map's state is written whole.
void StateStore::readBack(MapDatabase* map)
{
    StoreFiles files;
    std::string error;
    if (!readStore(path_, files, error)) {
        std::string aside;
        std::string reason;
        journal_ = DurableFile();
        if (!setStoreAside(path_, aside, reason)) {
            std::fprintf(stderr,
                         "simplatform: state file %s: %s; cannot keep it aside (%s): the state is not kept\n",
                         path_.c_str(), error.c_str(), reason.c_str());
            usable_ = false;
            return;
        }
        std::fprintf(stderr, "simplatform: state file %s: %s; kept aside as %s, the map file's values are used\n",
                     path_.c_str(), error.c_str(), aside.c_str());
        files = StoreFiles{};
    }
    hasFiles_ = files.found;
    diskMap_ = files.state.map;
    snapshotBytes_ = files.snapshotBytes;
    lastGeneration_ = std::max(lastGeneration_, files.lastGeneration);
    if (files.state.engineBoots && (!boots_ || *boots_ < *files.state.engineBoots)) {
        boots_ = files.state.engineBoots;
    }
    if (hasFiles_ && !journal_.isOpen() && files.journal != 0) {
        continueJournal(files.journal, files.journalBytes);
    }
    if (map == nullptr) {
        return;
    }
    if (!hasFiles_) {
        writeWholeSnapshot();
    } else if (diskMap_ == map->name) {
        restoreSymbols(*map, files.state);
        replaceAtChange_ = false;
    } else {
        std::fprintf(stderr,
                     "simplatform: state file %s holds the map \"%s\", not \"%s\": replaced at the first change\n",
                     path_.c_str(), diskMap_.c_str(), map->name.c_str());
        replaceAtChange_ = true;
    }
    std::fflush(stderr);
}

void StateStore::mapOpened()
{
    bool sameMap = openMapHandle() == handle_;
    handle_ = openMapHandle();
    // A snapshot being written walks the objects of the map that went.
    snapshot_.abandon();
    stopTimer(sliceTimer_);
    sliceTimer_ = 0;
    MapDatabase* map = openMap();
    if (!usable_ || sameMap || map == nullptr) {
        return;
    }
    if (hasFiles_ && diskMap_ != map->name) {
        std::fprintf(stderr,
                     "simplatform: state file %s holds the map \"%s\", not \"%s\": replaced at the first change\n",
                     path_.c_str(), diskMap_.c_str(), map->name.c_str());
        std::fflush(stderr);
        replaceAtChange_ = true;
        return;
    }
    readBack(map);
}

void StateStore::keep(SymbolData& symbol)
{
    if (usable_ && symbol.keptIn != markSerial_) {
        symbol.keptIn = markSerial_;
        marked_.push_back(&symbol);
        armTick();
    }
}

void StateStore::mapClosing()
{
    flush();
    marked_.clear();  // written, or in the record that waits
}

void StateStore::beginRecord()
{
    if (record_.empty()) {
        beginRecordLine(record_);
        record_ += "{\"symbols\":[";
    }
}

// The marked symbols' values join the record that waits.
void StateStore::appendMarked()
{
    if (marked_.empty()) {
        return;
    }
    beginRecord();
    for (const SymbolData* symbol : marked_) {
        if (recordHasSymbols_) {
            record_ += ',';
        }
        appendSymbolState(record_, *symbol);
        recordHasSymbols_ = true;
    }
    marked_.clear();
    markSerial_++;
    if (record_.size() > kMaxPendingRecord) {
        // Left to a snapshot of the whole map, which must begin after them:
        // one being written may have passed the objects they changed.
        record_.clear();
        recordHasSymbols_ = false;
        recordBoots_.reset();
        recordDropped_ = true;
        snapshot_.abandon();
    }
}

void StateStore::sealRecord()
{
    unsealedSize_ = record_.size();
    record_ += ']';
    if (recordBoots_) {
        record_ += ",\"engineBoots\":";
        appendJsonNumber(record_, *recordBoots_);
    }
    record_ += '}';
    sealRecordLine(record_, 0);
}

void StateStore::unsealRecord()
{
    record_.resize(unsealedSize_);
}

bool StateStore::flush()
{
    STORE_STEP("flush");
    appendMarked();
    MapDatabase* map = openMap();
    bool wholeMapDue = map != nullptr && (!hasFiles_ || (replaceAtChange_ && recordHasSymbols_));
    if (!usable_ || (record_.empty() && !recordDropped_ && !wholeMapDue)) {
        return true;
    }
    if (wholeMapDue) {
        return writeWholeSnapshot();
    }
    if (recordDropped_ && !snapshot_.active()) {
        beginSnapshot();
    }
    if (record_.empty()) {
        return true;
    }
    if (!hasFiles_) {
        record_.clear();  // no map and nothing stored: nowhere to keep the boots
        recordBoots_.reset();
        return true;
    }
    if ((!journal_.isOpen() || journalSuspect_) && !startJournal(diskMap_)) {
        return false;
    }
    sealRecord();
    if (!writeRecord()) {
        unsealRecord();
        return false;
    }
    record_.clear();
    recordHasSymbols_ = false;
    recordBoots_.reset();
    faults_.succeeded();
    if (!snapshot_.active() && !replaceAtChange_ && journalBytes_ > std::max(kCompactionFloor, snapshotBytes_)) {
        beginSnapshot();
    }
    return true;
}

bool StateStore::writeRecord()
{
    std::string error;
    if (!journal_.writeAt(journalBytes_, record_.data(), record_.size(), error) || !journal_.flush(error)) {
        journalSuspect_ = true;
        fail(error);
        return false;
    }
    journalBytes_ += record_.size();
    return true;
}

// A new journal, named for map: created, its first record written and
// flushed, its name flushed into the folder. The one before is closed and
// stays until a snapshot makes it useless.
bool StateStore::startJournal(const std::string& map)
{
    std::uint64_t generation = ++lastGeneration_;
    std::string path = journalPath(path_, generation);
    std::string header = "{\"map\":";
    appendJsonString(header, map);
    header += ",\"journal\":";
    appendJsonNumber(header, static_cast<std::int64_t>(generation));
    header += '}';
    std::string line;
    appendRecordLine(line, header);
    DurableFile file;
    std::string error;
    if (!file.create(path, error)) {
        fail(journalPath(path_, generation) + ": " + error);
        return false;
    }
    if (!file.writeAt(0, line.data(), line.size(), error) || !file.flush(error) || !flushFolderOf(path, error)) {
        std::string ignored;
        file.close(ignored);
        removeFile(path, ignored);
        fail(error);
        return false;
    }
    journal_ = std::move(file);
    generation_ = generation;
    journalBytes_ = line.size();
    journalSuspect_ = false;
    return true;
}

// The journal of the files read back, its torn end (if any) cut off first.
bool StateStore::continueJournal(std::uint64_t generation, std::uint64_t goodBytes)
{
    std::string error;
    if (!journal_.openExisting(journalPath(path_, generation), error) || !journal_.truncate(goodBytes, error) ||
        !journal_.flush(error)) {
        journalSuspect_ = true;
        fail(error);
        return false;
    }
    generation_ = generation;
    journalBytes_ = goodBytes;
    journalSuspect_ = false;
    return true;
}

// The open map's state written whole in this turn, in a new journal of its
// own: for a store that holds nothing yet, or another map.
bool StateStore::writeWholeSnapshot()
{
    MapDatabase* map = openMap();
    snapshot_.abandon();
    if (!startJournal(map->name)) {
        return false;
    }
    std::uint64_t generation = generation_;
    std::string error;
    bool done = false;
    bool ok = snapshot_.begin(path_, *map, error);
    while (ok && !done) {
        ok = snapshot_.writeSlice(done, error);
    }
    if (!ok || !snapshot_.writeEnd(generation, boots_, error) || !snapshot_.flushFile(error) ||
        !snapshot_.replace(error)) {
        snapshot_.abandon();
        fail(error);
        return false;
    }
    record_.clear();
    recordHasSymbols_ = false;
    recordBoots_.reset();
    recordDropped_ = false;
    hasFiles_ = true;
    diskMap_ = map->name;
    replaceAtChange_ = false;
    snapshotBytes_ = snapshot_.bytes();
    removeJournalsBelow(path_, generation);
    faults_.succeeded();
    return true;
}

// A snapshot written a slice a turn: first a new journal, so that every
// change from here on is in it.
void StateStore::beginSnapshot()
{
    MapDatabase* map = openMap();
    if (map == nullptr || map->name != diskMap_ || !startJournal(diskMap_)) {
        return;
    }
    snapshotGeneration_ = generation_;
    recordDropped_ = false;
    std::string error;
    if (!snapshot_.begin(path_, *map, error)) {
        fail(error);
        return;
    }
    if (sliceTimer_ == 0) {
        sliceTimer_ = startTimer(std::chrono::milliseconds(1), [this] { snapshotStep(); });
    }
}

// One step of a snapshot a turn: a slice, the file's flush, the rename.
void StateStore::snapshotStep()
{
    STORE_STEP("snapshot step");
    std::string error;
    bool ok = snapshot_.active() && snapshot_.map() == openMap();
    if (ok) {
        switch (snapshot_.stage()) {
        case SnapshotStage::Slices:
            ok = writeSnapshotSlice(error);
            break;
        case SnapshotStage::Written:
            ok = snapshot_.flushFile(error);
            break;
        default:
            ok = finishSnapshot(error);
            break;
        }
    }
    if (!ok) {
        snapshot_.abandon();
        if (!error.empty()) {
            fail(error);
        }
    }
    if (!snapshot_.active()) {
        stopTimer(sliceTimer_);
        sliceTimer_ = 0;
    }
}

// Once every object is written, every change made so far goes to the disk
// before the snapshot may count: the snapshot holds changes made up to now,
// and a state read back must not hold a later change without an earlier
// one. (flush says and counts its own failure.)
bool StateStore::writeSnapshotSlice(std::string& error)
{
    bool done = false;
    if (!snapshot_.writeSlice(done, error)) {
        return false;
    }
    if (!done) {
        return true;
    }
    return snapshot_.writeEnd(snapshotGeneration_, boots_, error) && flush();
}

// The rename, then the journals the new snapshot makes useless go.
bool StateStore::finishSnapshot(std::string& error)
{
    if (!snapshot_.replace(error)) {
        return false;
    }
    hasFiles_ = true;
    snapshotBytes_ = snapshot_.bytes();
    removeJournalsBelow(path_, snapshotGeneration_);
    faults_.succeeded();
    return true;
}

std::uint32_t StateStore::takeEngineBoots(std::uint32_t fromClock)
{
    std::uint32_t boots = fromClock;
    if (boots_) {
        boots = std::max(boots, *boots_ < kMaxEngineBoots ? *boots_ + 1 : kMaxEngineBoots);
    }
    boots_ = boots;
    if (usable_) {
        beginRecord();
        recordBoots_ = boots;
        if (!flush()) {
            armTick();  // tried again within a second
        }
    }
    return boots;
}

void StateStore::tick()
{
    flush();
    if (record_.empty() && marked_.empty() && !recordDropped_ && tickTimer_ != 0) {
        stopTimer(tickTimer_);
        tickTimer_ = 0;
    }
}

void StateStore::close()
{
    flush();
    snapshot_.abandon();
    stopTimers();
    std::string ignored;
    journal_.close(ignored);
#ifdef KELVOROV_STORE_TIMING
    const StepTimes& t = stepTimes();
    std::fprintf(stderr, "simplatform: store timing: start %lld us, %llu steps, longest %lld us (%s)\n",
                 static_cast<long long>(t.start), static_cast<unsigned long long>(t.steps),
                 static_cast<long long>(t.longest), t.longestWhat);
#endif
}

void StateStore::fail(const std::string& reason)
{
    faults_.failed(reason, steadySeconds());
}

void StateStore::armTick()
{
    if (tickTimer_ == 0) {
        tickTimer_ = startTimer(std::chrono::seconds(1), [this] { tick(); });
    }
}

void StateStore::stopTimers()
{
    stopTimer(tickTimer_);
    stopTimer(sliceTimer_);
    tickTimer_ = 0;
    sliceTimer_ = 0;
}

}  // namespace simplatform
