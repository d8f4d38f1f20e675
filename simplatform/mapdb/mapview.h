// The views of the open map's state: the state document (the whole map for
// the state reply, the HTTP port and the state file; one symbol for the
// event stream), the names of statuses, and a walk over the symbols.
//
// Views hear of changes through the map's change batching (mapchanges.h),
// included here for them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "../../platform/ovw.h"
#include "mapchanges.h"

namespace simplatform {

struct SymbolData;
struct ObjectData;
struct MapDatabase;

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

// A status's name; a status without one is named by its number, in text.
using StatusText = char[24];
const char* statusName(int status, StatusText& text);

// What a symbol shows, for views that list every symbol. The texts belong to
// the open map and live until it changes.
struct MapSymbolView {
    std::string_view map;     // the map's name
    std::string_view submap;  // the name of the symbol's submap
    OVwSymbolId id;
    std::string_view label;
    int status;
    std::optional<std::int64_t> changedAt;  // seconds since 1970, UTC
};
// Calls visit for every symbol of the open map, in the map's list order.
// False (and no call) when no map is open.
bool visitMapSymbols(const std::function<void(const MapSymbolView&)>& visit);

}  // namespace simplatform
