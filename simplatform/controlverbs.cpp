// The control port's commands, each carried out by the part it concerns.
#include "controlverbs.h"

#include "mapdb/mapdb.h"
#include "mapdb/mapfile.h"
#include "mapdb/mapservices.h"
#include "mapdb/mapsession.h"
#include "mapdb/mapview.h"
#include "runtime/loop.h"
#include "runtime/stats.h"
#include "trapport/trapsession.h"

namespace simplatform {
namespace {

std::string okOrError(bool ok, const std::string& error)
{
    return ok ? "ok" : "error " + error;
}

std::string loadMap(const ControlCommand& command)
{
    std::string error;
    return okOrError(openMapFile(command.text, error), error);
}

std::string openSubmap(const ControlCommand& command)
{
    MapHandle* map = openMapHandle();
    if (map == nullptr) {
        return "error no map open";
    }
    std::string error;
    SubmapInfo* submap = submapInfoByName(command.text, error);
    if (submap == nullptr) {
        return "error " + error;
    }
    raiseSubmapOpen(map, submap);
    return "ok";
}

std::string createSubmap(const ControlCommand& command)
{
    MapHandle* map = openMapHandle();
    if (map == nullptr) {
        return "error no map open";
    }
    OVwSymbolId id = static_cast<OVwSymbolId>(command.number);
    std::string error;
    SymbolInfo* symbol = symbolInfoById(id, error);
    if (symbol == nullptr) {
        return "error " + error;
    }
    uint64_t before = submapCreateAcknowledgements(id);
    raiseSubmapCreate(map, symbol);
    return submapCreateAcknowledgements(id) > before ? "ok acknowledged" : "ok not acknowledged";
}

std::string event(const ControlCommand& command)
{
    int code = static_cast<int>(command.number);
    if (code == OVw_EVENT_USER_SUBMAP_CREATE) {
        return "error event " + std::to_string(code) + " needs a symbol: use create-submap <symbol id>";
    }
    if (code == OVw_EVENT_SUBMAP_OPEN) {
        return "error event " + std::to_string(code) + " needs a submap: use open-submap <name>";
    }
    raiseEvent(code);
    return "ok";
}

std::string action(const ControlCommand& command)
{
    if (!invokeAction(command.text)) {
        return "error no action registered as " + quotedText(command.text);
    }
    return "ok";
}

std::string endSession(const ControlCommand& command)
{
    raiseEndSession(static_cast<int>(command.number));
    return "ok";
}

std::string loseConnection(const ControlCommand&)
{
    std::string error;
    return okOrError(loseTrapConnection(error), error);
}

std::string quit(const ControlCommand&)
{
    postQuit();
    return "ok";
}

std::string state(const ControlCommand&)
{
    std::string json = mapStateJson();
    return json.empty() ? "error no map open" : "ok " + json;
}

std::string counters(const ControlCommand&)
{
    return "ok " + statsJson();
}

}  // namespace

const ControlVerbs& controlVerbs()
{
    static const ControlVerbs* verbs = new ControlVerbs{
        {"open-map", Argument::Text, "PATH", "a map file path", "Opens that map file.", loadMap},
        {"open-submap", Argument::Text, "NAME", "a submap name", "The user opens that submap: map event 30.",
         openSubmap},
        {"create-submap", Argument::SymbolId, "SYMBOL-ID", "a symbol id",
         "The user asks for a submap under that symbol: map event 29.", createSubmap},
        {"event", Argument::EventCode, "CODE", "an event code", "Raises that map event with no further data.",
         event},
        {"action", Argument::Text, "NAME", "an action name", "Invokes the action registered under that name.",
         action},
        {"end-session", Argument::OptionalFlag, "[FLAG]", "an end flag",
         "Ends the map session with that end flag (default 1).", endSession},
        {"lose-connection", Argument::None, "", "", "The trap session's connection is lost.", loseConnection},
        {"quit", Argument::None, "", "", "Posts a quit message to the program's message loop.", quit},
        {"state", Argument::None, "", "", "The map's state as one line of JSON.", state},
        {"stats", Argument::None, "", "", "The receiver's counters as one line of JSON.", counters},
    };
    return *verbs;
}

}  // namespace simplatform
