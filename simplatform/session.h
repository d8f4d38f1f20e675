// The map session: the program's registered map event and action handlers,
// and the last map library failure.
#pragma once

#include <string>

#include "../platform/ovw.h"

namespace simplatform {

// Raise map events to the registered handler of their code (none: nothing
// happens). Each returns false when no handler is registered.
bool raiseEndSession(int normalEnd);
bool raiseSubmapOpen(MapHandle* map, SubmapInfo* submap);
bool raiseSubmapCreate(MapHandle* map, SymbolInfo* symbol);
bool raiseEvent(int code);
// Invokes the action registered under name; false when there is none.
bool invokeAction(const std::string& name);

// Sets the map library's last failure (OVwError / OVwErrorMsg).
void setMapError(int code, const std::string& text);
void clearMapError();

}  // namespace simplatform
