// The views of the open map's state: the state reply, the state file
// ($SIMPLATFORM_STATE) and one console line per change.
//
// Changes: setting a symbol's status or label to a different value is one
// change: one console line (unless SIMPLATFORM_QUIET=1), one count in
// stats().mapChanges, and the state file rewritten. Setting the value it
// already has changes nothing. Status source and behaviour are recorded and
// rewrite the state file, but are not changes of status or label.
#pragma once

#include <string>

namespace simplatform {

struct SymbolData;

// The open map's state as one line of JSON; empty when no map is open.
// The map file's form (name, submaps, objects with id, hostname when there is
// one, fields and symbols), each symbol with its current "label", "status"
// (number) and "statusName", "statusSource" (the number last set, or null)
// and "behavior" (null, or {"code": n, "name": text, "altName": text} as
// last set; a null name stays null).
std::string mapStateJson();

// Writes the state file, when one is asked for and a map is open.
void writeStateFile();

// A symbol's status or label changed: count it, show it, save the state.
void symbolChanged(const SymbolData& symbol);

}  // namespace simplatform
