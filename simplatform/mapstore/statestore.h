// The map's state on disk: a snapshot (the state file) and a journal of
// the changes made since, so that a change costs what it is, not what the
// map is, and the state reads back whole after a crash at any instant.
//
// - A changed symbol is marked (keep): a pointer and a flag, however often
//   it changes. The marked symbols' whole values, as they are then, make
//   one record, written to the journal and flushed in one step, within a
//   second (tick), at once when a turn delivered an inform (flush, at the
//   turn's end, before its Response goes out), before the map is replaced,
//   when the engine's boots are taken, and at exit. A record is written
//   only between turns, so it never holds half of one.
// - When the journal has outgrown the snapshot (and 64 KiB), a new journal
//   begins and a new snapshot is written a slice a turn, then flushed in a
//   turn of its own and renamed over the state file in the next; only then
//   do the older journals go.
// - A failed write, flush or rename leaves the files whole: the record is
//   kept and written again at the next chance (in a new journal, since the
//   failed one's end is no longer known), the failure said and counted
//   (writefaults.h).
// See simplatform/README.md for the order of the calls and why it is safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../files/durablefile.h"
#include "snapshotwriter.h"
#include "writefaults.h"

struct MapHandle;

namespace simplatform {

struct SymbolData;
struct MapDatabase;

// The journal is compacted into a snapshot when it passes the snapshot's
// size and this.
constexpr std::uint64_t kCompactionFloor = std::uint64_t{64} * 1024;
// A record that cannot be written grows no larger than this: its changes
// are then left to the next snapshot.
constexpr std::size_t kMaxPendingRecord = std::size_t{16} << 20;

class StateStore {
public:
    explicit StateStore(std::string path);
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // Reads the store and gives the open map (if any) the stored values of
    // its symbols. What cannot be read is kept aside and said, and the map
    // keeps the map file's values; a store of another map is said, and
    // replaced at the first change. With nothing stored, the open map's
    // snapshot is written now.
    void open();
    // A map was opened in place of the open one. The same map opened again
    // (it keeps its handle) has kept its state; another takes its stored
    // values when the store is of that map.
    void mapOpened();
    // A symbol's kept values changed (mapchanges.h's keeper).
    void keep(SymbolData& symbol);
    // The open map is about to go: its marked symbols are written now.
    void mapClosing();
    // Puts what waits on the disk now. False when that failed (said and
    // counted).
    bool flush();
    // The SNMPv3 engine's boots for this start: above the stored one and at
    // least fromClock, stored and flushed before it is returned.
    std::uint32_t takeEngineBoots(std::uint32_t fromClock);
    // The once-a-second flush and a snapshot's next slice; the store starts
    // the loop's timers for them, tests call them in their place.
    void tick();
    void snapshotStep();
    // Flushes what waits and abandons a snapshot being written.
    void close();

    const std::string& path() const { return path_; }
    std::uint64_t generation() const { return generation_; }
    bool snapshotInProgress() const { return snapshot_.active(); }
    bool failing() const { return faults_.failing(); }

private:
    void readBack(MapDatabase* map);
    void appendMarked();
    void beginRecord();
    void sealRecord();
    void unsealRecord();
    bool writeRecord();
    bool startJournal(const std::string& map);
    bool continueJournal(std::uint64_t generation, std::uint64_t goodBytes);
    bool writeWholeSnapshot();
    void beginSnapshot();
    bool writeSnapshotSlice(std::string& error);
    bool finishSnapshot(std::string& error);
    void removeOldJournals(std::uint64_t below);
    void fail(const std::string& reason);
    void armTick();
    void stopTimers();

    std::string path_;
    WriteFaults faults_;
    bool usable_ = true;            // false: the files are left as they are and never written
    std::string diskMap_;           // the map the files hold
    bool hasFiles_ = false;         // a snapshot is on the disk
    bool replaceAtChange_ = false;  // the files hold another map: replaced at the first change
    std::optional<std::uint32_t> boots_;
    // The journal appended to, its generation and the length of its good
    // records; suspect once a write or flush of it failed.
    DurableFile journal_;
    std::uint64_t generation_ = 0;
    std::uint64_t journalBytes_ = 0;
    bool journalSuspect_ = false;
    std::uint64_t lastGeneration_ = 0;
    std::vector<std::uint64_t> stale_;  // journals the next snapshot makes useless
    std::uint64_t snapshotBytes_ = 0;
    // The marked symbols, each once (their keptIn is markSerial_).
    std::vector<SymbolData*> marked_;
    std::uint64_t markSerial_ = 1;
    // The record being made: a line begun with room for its checksum,
    // {"symbols":[... ; empty when nothing waits.
    std::string record_;
    std::size_t unsealedSize_ = 0;
    bool recordHasSymbols_ = false;
    std::optional<std::uint32_t> recordBoots_;
    bool recordDropped_ = false;  // over kMaxPendingRecord: the next snapshot holds it
    SnapshotWriter snapshot_;
    std::uint64_t snapshotGeneration_ = 0;
    std::uint64_t nextCompaction_ = 0;  // journal length that starts one (after a failed one)
    int tickTimer_ = 0;
    int sliceTimer_ = 0;
    const MapHandle* handle_ = nullptr;  // of the map last opened
};

}  // namespace simplatform
