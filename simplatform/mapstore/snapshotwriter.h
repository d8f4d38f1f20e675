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

namespace simplatform {

struct MapDatabase;

// At most this many objects, or about this many bytes, a slice: about a
// millisecond of the loop's time each.
constexpr std::size_t kSliceObjects = 500;
constexpr std::size_t kSliceBytes = std::size_t{256} << 10;

class SnapshotWriter {
public:
    bool active() const { return file_.isOpen(); }
    const MapDatabase* map() const { return map_; }
    std::uint64_t bytes() const { return written_; }

    // A new file beside path, the document's head written.
    bool begin(const std::string& path, const MapDatabase& map, std::string& error);
    // Writes the next slice of objects; done once every object is written.
    bool writeSlice(bool& done, std::string& error);
    // Ends the document with the journal it starts and the boots, flushes
    // the file, renames it over the state file and flushes the folder.
    bool finish(std::uint64_t generation, std::optional<std::uint32_t> boots, std::string& error);
    // Removes the file; the state file is as it was.
    void abandon();

private:
    bool write(std::string& error);

    DurableFile file_;
    std::string path_;
    const MapDatabase* map_ = nullptr;
    std::size_t nextObject_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t sliceStart_ = 0;  // of the slice before, on its way to the disk
    std::string text_;  // the slice being written; its capacity is kept
};

}  // namespace simplatform
