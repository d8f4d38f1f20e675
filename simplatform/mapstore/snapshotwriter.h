// A snapshot written a slice at a time: the open map's state document, then
// the journal it starts and the engine's boots, into a new file beside the
// state file, which then replaces it.
//
// Written while the map changes, each object is in it as it was when its
// slice was written; every change made after the snapshot's journal began
// is in that journal as a whole value, so the snapshot and its journal give
// the exact state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "../files/durablefile.h"
#include "../mapdb/mapview.h"

namespace simplatform {

// Slices (MapSlices, mapview.h) are sent on their way to the disk this much at a time.
constexpr std::uint64_t kWriteback = std::uint64_t{1} << 20;

// The steps of a snapshot, each one turn's work at most: its slices, the
// flush of its file, the rename over the state file (with the folder's
// flush). Each step that puts something on the disk is one flush, so no
// turn waits for more than one.
enum class SnapshotStage : std::uint8_t {
    None,     // no snapshot is being written
    Slices,   // begun: objects are being written
    Written,  // the whole document is written
    Flushed,  // the file is on the disk and closed
};

class SnapshotWriter {
public:
    SnapshotStage stage() const { return stage_; }
    bool active() const { return stage_ != SnapshotStage::None; }
    const MapDatabase* map() const { return map_; }
    std::uint64_t bytes() const { return written_; }

    // A new file beside path, the document's head written.
    bool begin(const std::string& path, const MapDatabase& map, std::string& error);
    // Writes the next slice of objects; done once every object is written.
    bool writeSlice(bool& done, std::string& error);
    // Ends the document with the journal it starts and the boots.
    bool writeEnd(std::uint64_t generation, std::optional<std::uint32_t> boots, std::string& error);
    // Flushes the file and closes it.
    bool flushFile(std::string& error);
    // Renames it over the state file (only a regular file there is
    // replaced) and flushes the folder: the snapshot counts from here.
    bool replace(std::string& error);
    // Removes the file; the state file is as it was.
    void abandon();

private:
    bool write(std::string& error);

    SnapshotStage stage_ = SnapshotStage::None;
    DurableFile file_;
    std::string temporary_;
    std::string path_;
    const MapDatabase* map_ = nullptr;
    MapSlices slices_;
    std::uint64_t written_ = 0;
    std::uint64_t startedTo_ = 0;  // what is before it is on its way to the disk
    std::uint64_t waitedTo_ = 0;   // what is before it is on the disk
    std::string text_;             // the slice being written; its capacity is kept
};

}  // namespace simplatform
