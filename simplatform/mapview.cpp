// The views of the open map's state: the state document, the state file and
// the console line per change.
#include "mapview.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "handover.h"
#include "mapdb.h"
#include "regularfile.h"
#include "settings.h"
#include "stats.h"

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

// What the turn's changes have left to show, shown once at the end of the
// turn: a turn that changes N symbols costs one write of the console and
// one of the state file, not N of each.
struct Pending {
    std::string lines;   // console lines, in the order of the changes
    bool state = false;  // the state file is due
};

Pending& pending()
{
    static auto* instance = new Pending;
    return *instance;
}

// Writes the state file, when one is asked for and a map is open: the
// whole state to a new file beside it and a rename, so a reader sees the
// old state or the new one, never a part of either, and no link or device
// in the file's place is ever written through.
void writeStateFile()
{
    std::string path = setting("SIMPLATFORM_STATE", "");
    const auto& map = openMap();
    if (path.empty() || !map) {
        return;
    }
    std::string fault;
    if (!replaceableFile(path, fault) || !replaceRegularFile(path, stateText(*map) + "\n", fault)) {
        std::fprintf(stderr, "simplatform: cannot write the state file %s: %s\n", path.c_str(), fault.c_str());
    }
}

void showChanges()
{
    Pending& p = pending();
    if (!p.lines.empty()) {
        std::fwrite(p.lines.data(), 1, p.lines.size(), stdout);
        std::fflush(stdout);
        p.lines.clear();
    }
    if (p.state) {
        p.state = false;
        writeStateFile();
    }
}

}  // namespace

bool stateFileUsable(std::string& error)
{
    std::string path = setting("SIMPLATFORM_STATE", "");
    std::string fault;
    if (!path.empty() && !replaceableFile(path, fault)) {
        error = "state file " + path + ": " + fault;
        return false;
    }
    return true;
}

void stateChanged()
{
    pending().state = true;
    atTurnEnd(showChanges);
}

void symbolChanged(const SymbolData& symbol)
{
    stats().mapChanges++;
    if (setting("SIMPLATFORM_QUIET", "") != "1") {
        pending().lines += "map: symbol " + std::to_string(symbol.id) + " " + quotedLabel(symbol.label) + " " +
                           statusName(symbol.status) + " (" + std::to_string(symbol.status) + ")\n";
    }
    stateChanged();
}

std::string mapStateJson()
{
    const MapDatabase* map = openMap();
    return map != nullptr ? stateText(*map) : std::string();
}

}  // namespace simplatform
