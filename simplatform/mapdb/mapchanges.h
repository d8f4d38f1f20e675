// Changes of the open map, made at once and shown once per loop turn.
//
// Setting a symbol's status or label to a different value is one change:
// one console line (unless the quiet setting is 1), one count in
// stats().mapChanges, and the state file rewritten. Setting the value it
// already has changes nothing. Status source and behaviour are recorded and
// rewrite the state file, but are not changes of status or label. Console
// lines, the state file and the listener's call come at the end of the loop
// turn in which the changes were made (handover.h), once for all of them.
#pragma once

#include <string>
#include <vector>

#include "../../platform/ovw.h"

namespace simplatform {

struct SymbolData;

// The state changed (a map was opened, a symbol's status source or
// behaviour set): the state file is written at the end of the turn.
void stateChanged();
// A symbol's status or label changed: counted now; its console line and the
// state file are written at the end of the turn, once for all of the
// turn's changes.
void symbolChanged(const SymbolData& symbol);
// A map was opened: the state file is written, and the listener hears of
// it, at the end of the turn.
void mapOpened();

// One change as the listener hears of it: a symbol's status or label
// changed (symbol, and its part of the state as it was right after the
// change: {"id", "label", "submap", "status", "statusName", "statusSource",
// "behavior"}), or a map was opened (symbol 0, and the whole state).
struct MapChange {
    OVwSymbolId symbol;
    std::string state;
};
// Called at the end of every turn that changed a symbol's status or label
// or opened a map, after the console lines and the state file, with the
// turn's changes in the order they were made: one entry per change, so a
// symbol changed twice in a turn is in it twice. One listener or none
// (null). Changes are recorded only while a listener is set: the HTTP port
// sets it only while event clients are connected, so a change costs
// nothing more otherwise.
using MapChangeListener = void (*)(const std::vector<MapChange>& changes);
void setMapChangeListener(MapChangeListener listener);

}  // namespace simplatform
