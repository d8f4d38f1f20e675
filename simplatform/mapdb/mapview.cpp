// The state document of the open map and of one symbol, written directly as
// text (jsontext.h), status names, and the walk over the symbols.
#include "mapview.h"

#include <cstddef>
#include <cstdio>
#include <iterator>

#include "jsontext.h"
#include "mapdb.h"

namespace simplatform {
namespace {

void appendOptionalText(std::string& out, const std::optional<std::string>& text)
{
    if (text) {
        appendJsonString(out, *text);
    } else {
        out += "null";
    }
}

void appendField(std::string& out, const FieldData& field)
{
    appendJsonString(out, field.name);
    out += ':';
    switch (field.type) {
    case OVw_BOOLEAN_FIELD:
        out += field.boolean ? "true" : "false";
        break;
    case OVw_STRING_FIELD:
        appendJsonString(out, field.text);
        break;
    default:
        appendJsonNumber(out, field.integer);
        break;
    }
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

// Labels set by the program may be any bytes (a cut can split a UTF-8
// sequence); such bytes are shown as U+FFFD rather than refused.
void appendSymbolState(std::string& out, const SymbolData& symbol)
{
    out += "{\"id\":";
    appendJsonNumber(out, symbol.id);
    out += ",\"label\":";
    appendJsonString(out, symbol.label);
    out += ",\"submap\":";
    appendJsonNumber(out, symbol.submap);
    out += ",\"status\":";
    appendJsonNumber(out, symbol.status);
    out += ",\"statusName\":";
    StatusText text;
    appendJsonString(out, statusName(symbol.status, text));
    out += ",\"statusSource\":";
    if (symbol.statusSource) {
        appendJsonNumber(out, *symbol.statusSource);
    } else {
        out += "null";
    }
    out += ",\"behavior\":";
    if (symbol.behavior) {
        out += "{\"code\":";
        appendJsonNumber(out, symbol.behavior->code);
        out += ",\"name\":";
        appendOptionalText(out, symbol.behavior->name);
        out += ",\"altName\":";
        appendOptionalText(out, symbol.behavior->altName);
        out += '}';
    } else {
        out += "null";
    }
    out += ",\"changedAt\":";
    if (symbol.changedAt) {
        out += '"';
        appendUtcTime(out, *symbol.changedAt);
        out += '"';
    } else {
        out += "null";
    }
    out += '}';
}

std::string symbolStateJson(const SymbolData& symbol)
{
    std::string out;
    appendSymbolState(out, symbol);
    return out;
}

void appendObjectState(std::string& out, const ObjectData& object)
{
    out += "{\"id\":";
    appendJsonNumber(out, object.id);
    if (object.hostname) {
        out += ",\"hostname\":";
        appendJsonString(out, *object.hostname);
    }
    out += ",\"fields\":{";
    for (size_t i = 0; i < object.fields.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendField(out, object.fields[i]);
    }
    out += "},\"symbols\":[";
    for (size_t i = 0; i < object.symbols.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendSymbolState(out, object.symbols[i]);
    }
    out += "]}";
}

void appendMapStateHead(std::string& out, const MapDatabase& map)
{
    out += "{\"name\":";
    appendJsonString(out, map.name);
    out += ",\"submaps\":[";
    for (size_t i = 0; i < map.submaps.size(); ++i) {
        out += i > 0 ? ",{\"id\":" : "{\"id\":";
        appendJsonNumber(out, map.submaps[i].id);
        out += ",\"name\":";
        appendJsonString(out, map.submaps[i].name);
        out += '}';
    }
    out += "],\"objects\":[";
}

std::string mapStateJson()
{
    const MapDatabase* map = openMap();
    if (map == nullptr) {
        return std::string();
    }
    std::string out;
    appendMapStateHead(out, *map);
    for (size_t i = 0; i < map->objects.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendObjectState(out, map->objects[i]);
    }
    out += "]}";
    return out;
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
            visit(MapSymbolView{map->name, submapName, symbol.id, symbol.label, symbol.status, symbol.changedAt});
        }
    }
    return true;
}

}  // namespace simplatform
