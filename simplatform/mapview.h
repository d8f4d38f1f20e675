// The views of the open map's state: the state reply, the state file
// ($SIMPLATFORM_STATE), one console line per change, and a listener that
// hears of every change (the HTTP port's event stream).
//
// Changes: setting a symbol's status or label to a different value is one
// change: one console line (unless SIMPLATFORM_QUIET=1), one count in
// stats().mapChanges, and the state file rewritten. Setting the value it
// already has changes nothing. Status source and behaviour are recorded and
// rewrite the state file, but are not changes of status or label.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "../platform/ovw.h"

namespace simplatform {

struct SymbolData;

// The open map's state as one line of JSON; empty when no map is open.
// The map file's form (name, submaps, objects with id, hostname when there is
// one, fields and symbols), each symbol with its current "label", "status"
// (number) and "statusName", "statusSource" (the number last set, or null)
// and "behavior" (null, or {"code": n, "name": text, "altName": text} as
// last set; a null name stays null).
std::string mapStateJson();

// One symbol's part of that state ({"id", "label", "submap", "status",
// "statusName", "statusSource", "behavior"}); empty when there is no such
// symbol on the open map.
std::string symbolStateJson(OVwSymbolId symbol);

// What a symbol shows, for views that list every symbol. The texts belong to
// the open map and live until it changes.
struct MapSymbolView {
    std::string_view map;     // the map's name
    std::string_view submap;  // the name of the symbol's submap
    OVwSymbolId id;
    std::string_view label;
    int status;
};
// Calls visit for every symbol of the open map, in the map's list order.
// False (and no call) when no map is open.
bool visitMapSymbols(const std::function<void(const MapSymbolView&)>& visit);

// Writes the state file, when one is asked for and a map is open.
void writeStateFile();

// A symbol's status or label changed: count it, show it, save the state,
// tell the listener.
void symbolChanged(const SymbolData& symbol);
// A map was opened: save the state, tell the listener.
void mapOpened();

// Called after every change of a symbol's status or label with the symbol's
// id, once the change has been counted, shown and saved; and with 0 after a
// map was opened. One listener or none (null). The HTTP port sets it only
// while event clients are connected, so a change costs nothing more
// otherwise.
using MapChangeListener = void (*)(OVwSymbolId changed);
void setMapChangeListener(MapChangeListener listener);

}  // namespace simplatform
