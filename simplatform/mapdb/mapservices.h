// The map services over the open map, the map library's last failure, and
// the records the control port hands to map event handlers.
#pragma once

#include <string>

#include "../../platform/ovw.h"

namespace simplatform {

// Codes the map services leave for OVwError when they fail (the text from
// OVwErrorMsg names the particular fault). A failed call returns null or 0.
enum MapErrorCode {
    kMapErrorNoMap = 1,        // no map open, or a handle that is not the open map's
    kMapErrorBadArgument = 2,  // null text, malformed selection, unknown submap
    kMapErrorUnknownObject = 3,
    kMapErrorUnknownSymbol = 4,
    kMapErrorUnknownField = 5,
    kMapErrorNoValue = 6,    // the object has no value (or host name) for it
    kMapErrorNoSymbols = 7,  // the object has no symbols
    kMapErrorInjected = 99   // failNextMapCalls
};

// Sets the map library's last failure (OVwError / OVwErrorMsg).
void setMapError(int code, const std::string& text);
void clearMapError();

// Records for the events the control port raises, kept until the next
// message. Null, with a reason in error, for an unknown name or id or when
// no map is open.
SubmapInfo* submapInfoByName(const std::string& name, std::string& error);
SymbolInfo* symbolInfoById(OVwSymbolId symbol, std::string& error);

// For tests: the next count calls of the named map service (for example
// "OVwSetSymbolBehavior", "OVwListObjectsOnMap", "OVwGetSymbolsByObject";
// any map service this file implements) fail as the library fails, with
// kMapErrorInjected and text (empty: one naming the operation). count 0
// cancels. False, and why in error, for a name that is not such a service.
bool failNextMapCalls(const std::string& operation, int count, const std::string& text, std::string& error);

}  // namespace simplatform
