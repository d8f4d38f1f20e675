// The state document of the open map and of one symbol, status names, and
// the walk over the symbols.
#include "mapview.h"

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>

#include "mapdb.h"

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

Json symbolState(const SymbolData& symbol)
{
    Json state;
    state["id"] = symbol.id;
    state["label"] = symbol.label;
    state["submap"] = symbol.submap;
    state["status"] = symbol.status;
    StatusText text;
    state["statusName"] = statusName(symbol.status, text);
    state["statusSource"] = symbol.statusSource ? Json(*symbol.statusSource) : Json(nullptr);
    if (symbol.behavior) {
        Json behavior;
        behavior["code"] = symbol.behavior->code;
        behavior["name"] = symbol.behavior->name ? Json(*symbol.behavior->name) : Json(nullptr);
        behavior["altName"] = symbol.behavior->altName ? Json(*symbol.behavior->altName) : Json(nullptr);
        state["behavior"] = behavior;
    } else {
        state["behavior"] = nullptr;
    }
    return state;
}

Json objectState(const ObjectData& object)
{
    Json entry;
    entry["id"] = object.id;
    if (object.hostname) {
        entry["hostname"] = *object.hostname;
    }
    entry["fields"] = Json::object();
    for (const FieldData& field : object.fields) {
        switch (field.type) {
        case OVw_BOOLEAN_FIELD:
            entry["fields"][field.name] = field.boolean;
            break;
        case OVw_STRING_FIELD:
            entry["fields"][field.name] = field.text;
            break;
        default:
            entry["fields"][field.name] = field.integer;
            break;
        }
    }
    entry["symbols"] = Json::array();
    for (const SymbolData& symbol : object.symbols) {
        entry["symbols"].push_back(symbolState(symbol));
    }
    return entry;
}

// Labels set by the program may be any bytes (a cut can split a UTF-8
// sequence); such bytes are shown as U+FFFD rather than refused.
std::string oneLine(const Json& document)
{
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

const char* statusName(int status, StatusText& text)
{
    static const char* const names[] = {"unknown",  "unmanaged", "normal",     "warning",
                                        "critical", "minor",     "restricted", "major"};
    if (status >= 0 && static_cast<std::size_t>(status) < std::size(names)) {
        return names[status];
    }
    std::snprintf(text, sizeof text, "status %d", status);
    return text;
}

std::string symbolStateJson(const SymbolData& symbol)
{
    return oneLine(symbolState(symbol));
}

std::string mapStateJson()
{
    const MapDatabase* map = openMap();
    if (map == nullptr) {
        return std::string();
    }
    Json state;
    state["name"] = map->name;
    state["submaps"] = Json::array();
    for (const SubmapData& submap : map->submaps) {
        state["submaps"].push_back(Json{{"id", submap.id}, {"name", submap.name}});
    }
    state["objects"] = Json::array();
    for (const ObjectData& object : map->objects) {
        state["objects"].push_back(objectState(object));
    }
    return oneLine(state);
}

bool visitMapSymbols(const std::function<void(const MapSymbolView&)>& visit)
{
    const MapDatabase* map = openMap();
    if (map == nullptr) {
        return false;
    }
    for (const ObjectData& object : map->objects) {
        for (const SymbolData& symbol : object.symbols) {
            auto submap = map->submapIndex.find(symbol.submap);
            std::string_view submapName = submap == map->submapIndex.end() ? std::string_view()
                                                                           : map->submaps[submap->second].name;
            visit(MapSymbolView{map->name, submapName, symbol.id, symbol.label, symbol.status});
        }
    }
    return true;
}

}  // namespace simplatform
