// The views of the open map's state: the state reply, the state file
// ($SIMPLATFORM_STATE) and one console line per change.
//
// Changes: setting a symbol's status or label to a different value is one
// change: one console line (unless SIMPLATFORM_QUIET=1), one count in
// stats().mapChanges, and the state file rewritten. Setting the value it
// already has changes nothing. Status source and behaviour are recorded and
// rewrite the state file, but are not changes of status or label. Console
// lines and the state file are written at the end of the loop turn in which
// the changes were made (handover.h), once for all of them.
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

// The state changed (a map was opened, a symbol's status source or
// behaviour set): the state file is written at the end of the turn.
void stateChanged();

// A symbol's status or label changed: counted now; its console line and the
// state file are written at the end of the turn, once for all of the
// turn's changes.
void symbolChanged(const SymbolData& symbol);

// False, and why, when $SIMPLATFORM_STATE names something that exists and
// is not a regular file (a link, a device, a FIFO, a folder): the platform
// never writes the state there.
bool stateFileUsable(std::string& error);

}  // namespace simplatform
