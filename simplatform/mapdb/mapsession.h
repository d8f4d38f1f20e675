// The map session's handler tables: the program's registered map event and
// action handlers (OVwAddCallback, OVwAddActionCallback) and the raising of
// events to them.
#pragma once

#include <string>

#include "../../platform/ovw.h"

namespace simplatform {

// Raise map events to the registered handler of their code (none: nothing
// happens). Each returns false when no handler is registered.
bool raiseEndSession(int normalEnd);
bool raiseSubmapOpen(MapHandle* map, SubmapInfo* submap);
bool raiseSubmapCreate(MapHandle* map, SymbolInfo* symbol);
// Events 1, 29 and 30 carry data of their own; 1 is raised as a normal end
// of session, 29 and 30 are not raised without their records (false).
bool raiseEvent(int code);
// Invokes the action registered under name; false when there is none.
bool invokeAction(const std::string& name);

// Forgets every handler (the session ended).
void forgetHandlers();

}  // namespace simplatform
