// The map database: the map loaded from a JSON map file, the map services
// over it, and the views of its state (state reply, state file, console).
//
// Map file rules beyond its documented form: ids are whole numbers from 1 to
// 4294967295; "name", "submaps", "objects", "fields" and "symbols" may be
// left out (empty); submap names are unique; a field has one type on the
// whole map; a symbol without a "label" is labelled with its object's host
// name (or ""); keys not named here are ignored.
//
// Changes: setting a symbol's status or label to a different value is one
// change: one console line (unless SIMPLATFORM_QUIET=1), one count in
// stats().mapChanges, and the state file rewritten. Setting the value it
// already has changes nothing. Status source and behaviour are recorded and
// rewrite the state file, but are not changes of status or label.
#pragma once

#include <cstddef>
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
// The map file's form (name, submaps, objects with id, hostname when there is
// one, fields and symbols), each symbol with its current "label", "status"
// (number) and "statusName", "statusSource" (the number last set, or null)
// and "behavior" (null, or {"code": n, "name": text, "altName": text} as
// last set; a null name stays null).
std::string mapStateJson();

// Loads $SIMPLATFORM_MAP when it is set and not empty. A bad map file ends
// the process at once: "<file>: <fault>" on standard error, exit status 2.
// True when a map was opened, false when none is named.
bool loadStartupMap();

// Limits of a map file; a larger one is refused as too large.
constexpr std::uint64_t kMaxMapFileBytes = 16u * 1024u * 1024u;
constexpr std::size_t kMaxSubmaps = 10000;
constexpr std::size_t kMaxObjects = 100000;
constexpr std::size_t kMaxSymbols = 100000;       // over all objects
constexpr std::size_t kMaxFieldsPerObject = 256;
constexpr std::size_t kMaxFieldNames = 4096;      // distinct names, process-wide
constexpr int kMaxMapNesting = 32;                // arrays and objects

// Codes the map services leave for OVwError when they fail (the text from
// OVwErrorMsg names the particular fault). A failed call returns null or 0.
enum MapErrorCode {
    kMapErrorNoMap = 1,          // no map open, or a handle that is not the open map's
    kMapErrorBadArgument = 2,    // null text, malformed selection, unknown submap
    kMapErrorUnknownObject = 3,
    kMapErrorUnknownSymbol = 4,
    kMapErrorUnknownField = 5,
    kMapErrorNoValue = 6,        // the object has no value (or host name) for it
    kMapErrorNoSymbols = 7,      // the object has no symbols
    kMapErrorInjected = 99       // failNextMapCalls
};

// For tests: the next count calls of the named map service (for example
// "OVwSetSymbolBehavior", "OVwListObjectsOnMap", "OVwGetSymbolsByObject";
// any map service this file implements) fail as the library fails, with
// kMapErrorInjected and text (by default one naming the operation). count 0
// cancels. Throws std::invalid_argument for a name that is not such a service.
void failNextMapCalls(const std::string& operation, int count, const std::string& text = "");

}  // namespace simplatform
