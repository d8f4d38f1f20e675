// The map session: start and end, the program's registered map event and
// action handlers, the map library's last failure, and the map that is
// opened before the program starts.
#include "session.h"

#include <stdio.h>

#include <map>
#include <memory>

#include "control.h"
#include "internal.h"
#include "mapdb.h"

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

struct Session {
    bool open = false;
    std::map<int, EventHandler> events;
    std::map<std::string, ActionHandler> actions;
    int errorCode = 0;
    std::string errorText;
    std::unique_ptr<ControlPort> control;
};

// Lives until the process ends: the program exits from inside handlers, and
// the map may be loaded (and fail) before anything else is constructed.
Session& session()
{
    static Session* instance = new Session;
    return *instance;
}

// The registered handler of an event code, copied: the handler may register
// another one while it runs.
bool findHandler(int event, EventHandler& handler)
{
    const auto& events = session().events;
    auto found = events.find(event);
    if (found == events.end()) {
        return false;
    }
    handler = found->second;
    return true;
}

// The map named by $SIMPLATFORM_MAP is loaded before main runs, so that a
// bad map file stops the start before the program writes anything.
struct StartupMap {
    StartupMap() { loadStartupMap(); }
};
StartupMap startupMap;

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

// Events 1, 29 and 30 carry data of their own; 1 is raised as a normal end
// of session, 29 and 30 cannot be raised without their records.
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
    const auto& actions = session().actions;
    auto found = actions.find(name);
    if (found == actions.end()) {
        return false;
    }
    ActionHandler h = found->second;
    std::string action = name;  // the table may change while the handler runs
    h.proc(h.userData, action.c_str());
    return true;
}

void setMapError(int code, const std::string& text)
{
    session().errorCode = code;
    session().errorText = text;
}

void clearMapError()
{
    session().errorCode = 0;
    session().errorText.clear();
}

}  // namespace simplatform

using simplatform::session;

int _OVwInit(int version)
{
    (void)version;
    simplatform::Session& s = session();
    if (s.open) {
        simplatform::clearMapError();
        return 0;
    }
    s.open = true;
    std::string address = simplatform::setting("SIMPLATFORM_CONTROL_ADDR", "127.0.0.1:1620");
    std::string error;
    s.control = simplatform::ControlPort::open(address, error);
    if (!s.control) {
        fprintf(stderr, "simplatform: no control port: %s; running without it\n", error.c_str());
    }
    simplatform::clearMapError();
    return 0;
}

int OVwDone(void)
{
    simplatform::Session& s = session();
    if (!s.open) {
        simplatform::setMapError(simplatform::kMapErrorNoMap, "OVwDone: no map session is open");
        return -1;
    }
    s.open = false;
    s.events.clear();
    s.actions.clear();
    if (s.control) {
        // OVwDone is usually called from a handler that a control command
        // raised: the port is closed now but freed only after the handler.
        s.control->close();
        std::shared_ptr<simplatform::ControlPort> closed(std::move(s.control));
        simplatform::keepUntilNextMessage([closed] {});
    }
    simplatform::clearMapError();
    return 0;
}

int OVwAddCallback(int event, void* selection, OVwCallbackProc proc, void* user_data)
{
    (void)selection;
    if (proc == nullptr) {
        simplatform::setMapError(simplatform::kMapErrorBadArgument, "OVwAddCallback: no handler given");
        return -1;
    }
    session().events[event] = simplatform::EventHandler{proc, user_data};
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
    session().actions[action] = simplatform::ActionHandler{proc, user_data};
    simplatform::clearMapError();
    return 0;
}

int OVwError(void)
{
    return session().errorCode;
}

const char* OVwErrorMsg(int error)
{
    const simplatform::Session& s = session();
    if (error == 0) {
        return "no error";
    }
    if (error == s.errorCode && !s.errorText.empty()) {
        return s.errorText.c_str();
    }
    static char generic[64];
    snprintf(generic, sizeof generic, "map library error %d", error);
    return generic;
}
