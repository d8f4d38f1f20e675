// The map session's handler tables.
#include "mapsession.h"

#include <map>

#include "mapservices.h"

namespace simplatform {
namespace {

struct EventHandler {
    OVwCallbackProc proc;
    void* userData;
};

struct ActionHandler {
    OVwActionCallbackProc proc;
    void* userData;
};

struct Handlers {
    std::map<int, EventHandler> events;
    std::map<std::string, ActionHandler> actions;
};

// Lives until the process ends: the program exits from inside handlers.
Handlers& handlers()
{
    static Handlers* instance = new Handlers;
    return *instance;
}

// The registered handler of an event code, copied: the handler may register
// another one while it runs.
bool findHandler(int event, EventHandler& handler)
{
    const auto& events = handlers().events;
    auto found = events.find(event);
    if (found == events.end()) {
        return false;
    }
    handler = found->second;
    return true;
}

}  // namespace

bool raiseEndSession(int normalEnd)
{
    EventHandler h;
    if (!findHandler(OVw_EVENT_END_SESSION, h)) {
        return false;
    }
    reinterpret_cast<OVwEndSessionProc>(h.proc)(h.userData, OVw_EVENT_END_SESSION, normalEnd);
    return true;
}

bool raiseSubmapOpen(MapHandle* map, SubmapInfo* submap)
{
    EventHandler h;
    if (!findHandler(OVw_EVENT_SUBMAP_OPEN, h)) {
        return false;
    }
    reinterpret_cast<OVwSubmapOpenProc>(h.proc)(h.userData, OVw_EVENT_SUBMAP_OPEN, map, submap);
    return true;
}

bool raiseSubmapCreate(MapHandle* map, SymbolInfo* symbol)
{
    EventHandler h;
    if (!findHandler(OVw_EVENT_USER_SUBMAP_CREATE, h)) {
        return false;
    }
    reinterpret_cast<OVwSubmapCreateProc>(h.proc)(h.userData, OVw_EVENT_USER_SUBMAP_CREATE, map, symbol);
    return true;
}

bool raiseEvent(int code)
{
    if (code == OVw_EVENT_END_SESSION) {
        return raiseEndSession(1);
    }
    if (code == OVw_EVENT_USER_SUBMAP_CREATE || code == OVw_EVENT_SUBMAP_OPEN) {
        return false;
    }
    EventHandler h;
    if (!findHandler(code, h)) {
        return false;
    }
    reinterpret_cast<OVwEventProc>(h.proc)(h.userData, code);
    return true;
}

bool invokeAction(const std::string& name)
{
    const auto& actions = handlers().actions;
    auto found = actions.find(name);
    if (found == actions.end()) {
        return false;
    }
    ActionHandler h = found->second;
    // A copy: the table (and the name in it) may change while the handler runs.
    std::string action = name;  // NOLINT(performance-unnecessary-copy-initialization)
    h.proc(h.userData, action.c_str());
    return true;
}

void forgetHandlers()
{
    handlers().events.clear();
    handlers().actions.clear();
}

}  // namespace simplatform

int OVwAddCallback(int event, void* selection, OVwCallbackProc proc, void* user_data)
{
    (void)selection;
    if (proc == nullptr) {
        simplatform::setMapError(simplatform::kMapErrorBadArgument, "OVwAddCallback: no handler given");
        return -1;
    }
    simplatform::handlers().events[event] = simplatform::EventHandler{proc, user_data};
    simplatform::clearMapError();
    return 0;
}

int OVwAddActionCallback(const char* action, OVwActionCallbackProc proc, void* user_data)
{
    if (action == nullptr || proc == nullptr) {
        simplatform::setMapError(simplatform::kMapErrorBadArgument,
                                 "OVwAddActionCallback: no action name or no handler given");
        return -1;
    }
    simplatform::handlers().actions[action] = simplatform::ActionHandler{proc, user_data};
    simplatform::clearMapError();
    return 0;
}
