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
        return "error event 29 needs a symbol: use create-submap <symbol id>";
    }
    if (code == OVw_EVENT_SUBMAP_OPEN) {
        return "error event 30 needs a submap: use open-submap <name>";
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
        {"open-map", Argument::Text, "a map file path", loadMap},
        {"open-submap", Argument::Text, "a submap name", openSubmap},
        {"create-submap", Argument::SymbolId, "a symbol id", createSubmap},
        {"event", Argument::EventCode, "an event code", event},
        {"action", Argument::Text, "an action name", action},
        {"end-session", Argument::OptionalFlag, "an end flag", endSession},
        {"lose-connection", Argument::None, "", loseConnection},
        {"quit", Argument::None, "", quit},
        {"state", Argument::None, "", state},
        {"stats", Argument::None, "", counters},
    };
    return *verbs;
}

}  // namespace simplatform
