// Changes of the open map, made at once and shown once per loop turn.
//
// Setting a symbol's status or label to a different value is one change:
// its time is kept (changedAt), one console line (unless the quiet setting
// is 1), one count in stats().mapChanges, and one event for the listener.
// Setting the value it already has changes nothing. Status source and
// behaviour are kept, but are not changes of status or label. The keeper
// hears of every change at once; console lines and the listener's call
// come at the end of the loop turn in which the changes were made
// (handover.h), once for all of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../../platform/ovw.h"

namespace simplatform {

struct SymbolData;

// A symbol's status, label, status source or behaviour is about to change:
// documents being made of the map at one instant keep it as it is
// (MapSlices, mapview.h), and the change serial grows. Called before
// symbolChanged or symbolSettingsChanged, at the change itself.
void symbolChanging(const SymbolData& symbol);
// Grows with every change of what the map's documents show: a symbol's
// state (symbolChanging), a map opened or closed. A document made at one
// serial is current while the serial stays.
std::uint64_t mapChangeSerial();

// A symbol's status or label changed: its time is taken, it is counted and
// the keeper hears of it now; its console line and the listener at the end
// of the turn.
void symbolChanged(SymbolData& symbol);
// A symbol's status source or behaviour changed: the keeper hears of it.
void symbolSettingsChanged(SymbolData& symbol);
// A map was opened: the keeper hears of it now, the listener at the end of
// the turn.
void mapOpened();
// The open map is about to be replaced or closed: the keeper hears of it
// while its symbols are still there.
void mapClosing();

// What keeps the map's state (the store, which the wiring installs): told
// of each symbol whose status, label, status source or behaviour changed,
// at the change (the symbol stays valid until the map closes), of the open
// map's closing, before its symbols go, and of a map opened in its place,
// before anything else sees it. One keeper or none (null).
struct MapKeeper {
    void (*symbolChanged)(SymbolData& symbol);
    void (*mapClosing)();
    void (*mapOpened)();
};
void setMapKeeper(const MapKeeper* keeper);

// One change as the listener hears of it: a symbol's status or label
// changed (symbol, and its state document as it was right after the
// change, mapview.h), or a map was opened (symbol 0, and the whole state).
struct MapChange {
    OVwSymbolId symbol;
    std::string state;
};
// Called at the end of every turn that changed a symbol's status or label
// or opened a map, after the console lines, with the turn's
// changes in the order they were made: one entry per change, so a symbol
// changed twice in a turn is in it twice. One listener or none (null).
// Changes are recorded only while a listener is set: the HTTP port sets it
// only while event clients are connected, so a change costs nothing more
// otherwise.
using MapChangeListener = void (*)(const std::vector<MapChange>& changes);
void setMapChangeListener(MapChangeListener listener);

}  // namespace simplatform
