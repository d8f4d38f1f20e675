// The views of the open map's state: the state document (the whole map for
// the state reply, the HTTP port and the state file; one symbol for the
// event stream), the names of statuses, and the map gone through a slice
// at a time.
//
// Views hear of changes through the map's change batching (mapchanges.h),
// included here for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "../../platform/ovw.h"
#include "mapchanges.h"
#include "mapdb.h"

namespace simplatform {

// The open map's state as one line of JSON; empty when no map is open.
// The map file's form (name, submaps, objects with id, hostname when there is
// one, fields and symbols), each symbol with its current "label", "status"
// (number) and "statusName", "statusSource" (the number last set, or null),
// "behavior" (null, or {"code": n, "name": text, "altName": text} as last
// set; a null name stays null) and "changedAt" (when its status or label
// last changed, 2025-01-02T14:02:03Z, or null).
std::string mapStateJson();
// One symbol's state document as one line of JSON: {"id", "label",
// "submap", "status", "statusName", "statusSource", "behavior",
// "changedAt"}. The same text wherever a symbol's state is shown or kept.
std::string symbolStateJson(const SymbolData& symbol);
void appendSymbolState(std::string& out, const SymbolData& symbol);

// The state document in pieces, for a writer that makes it a slice at a
// time: the head up to the objects' array, {"name":..,"submaps":[..],
// "objects":[ ; then each object, separated by commas; then "]}" (or more
// members and "}").
void appendMapStateHead(std::string& out, const MapDatabase& map);
void appendObjectState(std::string& out, const ObjectData& object);

// At most this many objects, or about this many bytes, a slice: about a
// millisecond of the loop's time each.
constexpr std::size_t kSliceObjects = 250;
constexpr std::size_t kSliceBytes = std::size_t{128} << 10;

// The open map's objects gone through a slice at a time, once or more
// (passes), by a writer that makes a document of them across loop turns:
// the store's snapshot, the HTTP port's documents.
//
// Without keepInstant each object is written as it is when its slice
// comes: the store's snapshot, which its journal completes. With it the
// document shows the map at one instant, the one begin was called at:
// before a symbol of an object that a later slice is still to write
// changes (symbolChanging, mapchanges.h), the object as it was is copied
// aside, and the slices write the copy. That costs one object's copy per
// object changed during the run, at most the map once. A map closed or
// replaced while it runs ends it: lost(), and nothing more is written.
class MapSlices {
public:
    enum class Step : std::uint8_t {
        More,      // the pass goes on in the next slice
        PassDone,  // the slice ended a pass; the next begins with the next slice
        Done       // every pass is written
    };
    // Appends one object's text; index is its place in the map's list,
    // pass counts from 0.
    using AppendObject = void (*)(std::string& out, const MapDatabase& map, const ObjectData& object,
                                  std::size_t index, unsigned pass);

    MapSlices() = default;
    ~MapSlices();
    MapSlices(const MapSlices&) = delete;
    MapSlices& operator=(const MapSlices&) = delete;

    void begin(const MapDatabase& map, unsigned passes, bool keepInstant);
    // Appends the next slice's objects to out (nothing once lost or done).
    Step appendSlice(std::string& out, AppendObject append);
    // Stops; a later begin starts again.
    void end();
    bool running() const { return map_ != nullptr; }
    bool lost() const { return lost_; }
    const MapDatabase* map() const { return map_; }
    // Objects copied aside before a change.
    std::size_t kept() const { return kept_.size(); }

private:
    friend void keepObjectsBeforeChange(const SymbolData& symbol);
    friend void loseMapSlices();
    void keepBefore(const SymbolData& symbol);

    const MapDatabase* map_ = nullptr;
    unsigned passes_ = 1;
    unsigned pass_ = 0;
    std::size_t next_ = 0;  // the next object of the pass
    bool keepInstant_ = false;
    bool lost_ = false;
    std::unordered_map<std::size_t, ObjectData> kept_;  // by index
};
// For mapchanges: a symbol is about to change; the open map is about to go.
void keepObjectsBeforeChange(const SymbolData& symbol);
void loseMapSlices();

// A status's name; a status without one is named by its number, in text.
using StatusText = char[24];
const char* statusName(int status, StatusText& text);

}  // namespace simplatform
