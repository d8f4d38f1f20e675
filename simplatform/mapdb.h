// The map database: the map loaded from a JSON map file, the map services
// over it, and the views of its state (state reply, state file, console).
#pragma once

#include <cstdint>
#include <string>

#include "../platform/ovw.h"

namespace simplatform {

// Loads and validates a map file and makes it the open map (replacing any
// open one). On failure the open map is unchanged, and error names the file
// and the fault.
bool openMapFile(const std::string& path, std::string& error);
// The same for map text already read; name stands for the file in errors.
bool openMapText(const std::string& text, const std::string& name, std::string& error);
// Closes the open map, if any.
void closeMap();
// The open map's handle, or null when no map is open.
MapHandle* openMapHandle();

// Records for the events the control port raises, kept until the next
// message. Null, with a reason in error, for an unknown name or id or when
// no map is open.
SubmapInfo* submapInfoByName(const std::string& name, std::string& error);
SymbolInfo* symbolInfoById(OVwSymbolId symbol, std::string& error);

// How many times a submap creation under symbol has been acknowledged.
uint64_t submapCreateAcknowledgements(OVwSymbolId symbol);

// The open map's state as one line of JSON; empty when no map is open.
std::string mapStateJson();

}  // namespace simplatform
