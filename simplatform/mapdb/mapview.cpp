// The views of the open map's state: the state document, the state file,
// the console line per change and the change listener.
#include "mapview.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "../os/regularfile.h"
#include "../runtime/handover.h"
#include "../runtime/settings.h"
#include "../runtime/stats.h"
#include "mapdb.h"

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

// A status's name; a status without one is named by its number, in text.
using StatusText = char[24];
const char* statusName(int status, StatusText& text)
{
    static const char* const names[] = {"unknown",  "unmanaged", "normal",     "warning",
                                        "critical", "minor",     "restricted", "major"};
    if (status >= 0 && status < 8) {
        return names[status];
    }
    std::snprintf(text, sizeof text, "status %d", status);
    return text;
}

// Appends a number in decimal; by hand, since formatting it is most of what
// a console line would cost otherwise.
void appendNumber(std::string& out, long long value)
{
    char digits[24];
    size_t start = sizeof digits;
    unsigned long long v = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                     : static_cast<unsigned long long>(value);
    do {
        digits[--start] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0) {
        digits[--start] = '-';
    }
    out.append(digits + start, sizeof digits - start);
}

// Appends a label inside the console line's quotes: quotes and backslashes
// escaped, control bytes shown as \xNN, so that one change stays one line.
void appendQuotedLabel(std::string& out, const std::string& label)
{
    out += '"';
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
}

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
        state["objects"].push_back(std::move(entry));
    }
    // Labels set by the program may be any bytes (a cut can split a UTF-8
    // sequence); such bytes are shown as U+FFFD rather than refused.
    return state.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// What the turn's changes have left to show, shown once at the end of the
// turn: a turn that changes N symbols costs one write of the console, one
// of the state file and one call of the listener, not N of each.
struct Pending {
    std::string lines;               // console lines, in the order of the changes
    bool state = false;              // the state file is due
    std::vector<MapChange> changes;  // for the listener, in the order made
    // Room for the lines of a turn of 64 traps from the start, so that how
    // large the batches happen to be does not show as allocations later.
    Pending() { lines.reserve(16 * 1024); }
};

Pending& pending()
{
    static auto* instance = new Pending;
    return *instance;
}

MapChangeListener& changeListener()
{
    static MapChangeListener listener = nullptr;
    return listener;
}

// Writes the state file, when one is asked for and a map is open: the
// whole state to a new file beside it and a rename, so a reader sees the
// old state or the new one, never a part of either, and no link or device
// in the file's place is ever written through.
void writeStateFile()
{
    const char* path = settingValue(Setting::State);
    const auto& map = openMap();
    if (path == nullptr || !map) {
        return;
    }
    std::string fault;
    if (!replaceableFile(path, fault) || !replaceRegularFile(path, stateText(*map) + "\n", fault)) {
        std::fprintf(stderr, "simplatform: cannot write the state file %s: %s\n", path, fault.c_str());
    }
}

void showChanges()
{
    Pending& p = pending();
    if (!p.lines.empty()) {
        // SIMPLATFORM_QUIET is read once a turn, not once a change.
        const char* quiet = settingValue(Setting::Quiet);
        if (quiet == nullptr || std::strcmp(quiet, "1") != 0) {
            std::fwrite(p.lines.data(), 1, p.lines.size(), stdout);
            std::fflush(stdout);
        }
        p.lines.clear();
    }
    if (p.state) {
        p.state = false;
        writeStateFile();
    }
    if (!p.changes.empty()) {
        // Taken out first, so that nothing the listener does can change
        // the list it is reading.
        std::vector<MapChange> changes;
        changes.swap(p.changes);
        if (MapChangeListener listener = changeListener()) {
            listener(changes);
        }
    }
}

// The listener's record of a change, made only while there is a listener.
void recordChange(OVwSymbolId symbol, std::string state)
{
    if (changeListener() != nullptr) {
        pending().changes.push_back(MapChange{symbol, std::move(state)});
    }
}

}  // namespace

bool stateFileUsable(std::string& error)
{
    std::string path = setting(Setting::State);
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

// The line is appended in pieces: the pending text keeps its capacity, so a
// steady stream of changes allocates nothing. Whether it is shown
// (SIMPLATFORM_QUIET) is decided at the end of the turn.
void symbolChanged(const SymbolData& symbol)
{
    stats().mapChanges++;
    std::string& lines = pending().lines;
    lines += "map: symbol ";
    appendNumber(lines, symbol.id);
    lines += ' ';
    appendQuotedLabel(lines, symbol.label);
    StatusText text;
    lines += ' ';
    lines += statusName(symbol.status, text);
    lines += " (";
    appendNumber(lines, symbol.status);
    lines += ")\n";
    if (changeListener() != nullptr) {
        recordChange(symbol.id, symbolState(symbol).dump(-1, ' ', false, Json::error_handler_t::replace));
    }
    stateChanged();
}

void mapOpened()
{
    if (changeListener() != nullptr) {
        recordChange(0, mapStateJson());
    }
    stateChanged();
}

void setMapChangeListener(MapChangeListener listener)
{
    changeListener() = listener;
    if (listener == nullptr) {
        pending().changes.clear();
    }
}

std::string mapStateJson()
{
    const MapDatabase* map = openMap();
    return map != nullptr ? stateText(*map) : std::string();
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
