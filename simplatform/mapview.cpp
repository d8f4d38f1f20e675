// The views of the open map's state: the state document, the state file and
// the console line per change.
#include "mapview.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "mapdb.h"
#include "settings.h"
#include "stats.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

std::string statusName(int status)
{
    static const char* const names[] = {"unknown", "unmanaged", "normal", "warning",
                                        "critical", "minor", "restricted", "major"};
    if (status >= 0 && status < 8) {
        return names[status];
    }
    return "status " + std::to_string(status);
}

// A label inside the console line's quotes: quotes and backslashes escaped,
// control bytes shown as \xNN, so that one change stays one line.
std::string quotedLabel(const std::string& label)
{
    std::string out = "\"";
    for (unsigned char c : label) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

Json symbolState(const SymbolData& symbol)
{
    Json state;
    state["id"] = symbol.id;
    state["label"] = symbol.label;
    state["submap"] = symbol.submap;
    state["status"] = symbol.status;
    state["statusName"] = statusName(symbol.status);
    state["statusSource"] = symbol.statusSource ? Json(*symbol.statusSource) : Json(nullptr);
    if (symbol.behavior) {
        Json behavior;
        behavior["code"] = symbol.behavior->code;
        behavior["name"] = symbol.behavior->name ? Json(*symbol.behavior->name) : Json(nullptr);
        behavior["altName"] =
            symbol.behavior->altName ? Json(*symbol.behavior->altName) : Json(nullptr);
        state["behavior"] = behavior;
    } else {
        state["behavior"] = nullptr;
    }
    return state;
}

std::string stateText(const MapDatabase& map)
{
    Json state;
    state["name"] = map.name;
    state["submaps"] = Json::array();
    for (const SubmapData& submap : map.submaps) {
        state["submaps"].push_back(Json{{"id", submap.id}, {"name", submap.name}});
    }
    state["objects"] = Json::array();
    for (const ObjectData& object : map.objects) {
        Json entry;
        entry["id"] = object.id;
        if (object.hostname) {
            entry["hostname"] = *object.hostname;
        }
        entry["fields"] = Json::object();
        for (const FieldData& field : object.fields) {
            switch (field.type) {
            case OVw_BOOLEAN_FIELD: entry["fields"][field.name] = field.boolean; break;
            case OVw_STRING_FIELD: entry["fields"][field.name] = field.text; break;
            default: entry["fields"][field.name] = field.integer; break;
            }
        }
        entry["symbols"] = Json::array();
        for (const SymbolData& symbol : object.symbols) {
            entry["symbols"].push_back(symbolState(symbol));
        }
        state["objects"].push_back(std::move(entry));
    }
    // Labels set by the program may be any bytes (a cut can split a UTF-8
    // sequence); such bytes are shown as U+FFFD rather than refused.
    return state.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool replaceFile(const std::string& temporary, const std::string& path)
{
#ifdef _WIN32
    return MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(temporary.c_str(), path.c_str()) == 0;
#endif
}

MapChangeListener& changeListener()
{
    static MapChangeListener listener = nullptr;
    return listener;
}

}  // namespace

// Writes the state file, when one is asked for, through a temporary file in
// the same folder and a rename, so a reader sees the old state or the new
// one and never a part of either.
void writeStateFile()
{
    std::string path = setting("SIMPLATFORM_STATE", "");
    const auto& map = openMap();
    if (path.empty() || !map) {
        return;
    }
    std::string content = stateText(*map) + "\n";
    std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    bool ok = file != nullptr;
    if (ok) {
        ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
        ok = (std::fclose(file) == 0) && ok;
    }
    std::string reason = ok ? "" : std::strerror(errno);
    if (ok && !replaceFile(temporary, path)) {
        ok = false;
        reason = std::strerror(errno);
    }
    if (!ok) {
        std::remove(temporary.c_str());
        std::fprintf(stderr, "simplatform: cannot write the state file %s: %s\n", path.c_str(),
                     reason.c_str());
    }
}

// A symbol's status or label changed: count it, show it, save the state,
// tell the listener.
void symbolChanged(const SymbolData& symbol)
{
    stats().mapChanges++;
    if (setting("SIMPLATFORM_QUIET", "") != "1") {
        std::string line = "map: symbol " + std::to_string(symbol.id) + " " +
                           quotedLabel(symbol.label) + " " + statusName(symbol.status) + " (" +
                           std::to_string(symbol.status) + ")\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    writeStateFile();
    if (MapChangeListener listener = changeListener()) {
        listener(symbol.id);
    }
}

void mapOpened()
{
    writeStateFile();
    if (MapChangeListener listener = changeListener()) {
        listener(0);
    }
}

void setMapChangeListener(MapChangeListener listener)
{
    changeListener() = listener;
}

std::string mapStateJson()
{
    const MapDatabase* map = openMap();
    return map != nullptr ? stateText(*map) : std::string();
}

std::string symbolStateJson(OVwSymbolId id)
{
    MapDatabase* map = openMap();
    const SymbolData* symbol = map != nullptr ? map->symbol(id) : nullptr;
    return symbol != nullptr ? symbolState(*symbol).dump(-1, ' ', false, Json::error_handler_t::replace)
                             : std::string();
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
            std::string_view submapName =
                submap == map->submapIndex.end() ? std::string_view() : map->submaps[submap->second].name;
            visit(MapSymbolView{map->name, submapName, symbol.id, symbol.label, symbol.status});
        }
    }
    return true;
}

}  // namespace simplatform
