// The turn's changes of the open map: counted and handed to the keeper when
// made, kept until the end of the turn, then shown once: the console lines
// and the listener's call.
#include "mapchanges.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "../runtime/handover.h"
#include "../runtime/settings.h"
#include "../runtime/stats.h"
#include "jsontext.h"
#include "mapdb.h"
#include "mapview.h"

namespace simplatform {
namespace {

// What the turn's changes have left to show, shown once at the end of the
// turn: a turn that changes N symbols costs one write of the console and
// one call of the listener, not N of each.
struct Pending {
    std::string lines;               // console lines, in the order of the changes
    std::vector<MapChange> changes;  // for the listener, in the order made
    // Room for the lines of a turn of 64 traps from the start, so that how
    // large the batches happen to be does not show as allocations later.
    Pending() { lines.reserve(size_t{16} * 1024); }
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

std::uint64_t& changeSerial()
{
    static std::uint64_t serial = 0;
    return serial;
}

const MapKeeper*& keeper()
{
    static const MapKeeper* instance = nullptr;
    return instance;
}

void tellKeeper(SymbolData& symbol)
{
    if (const MapKeeper* keep = keeper()) {
        keep->symbolChanged(symbol);
    }
}

// Appends a label inside the console line's quotes: quotes and backslashes
// escaped, control bytes shown as \xNN, so that one change stays one line.
void appendQuotedLabel(std::string& out, const std::string& label)
{
    out += '"';
    for (char byte : label) {
        auto c = static_cast<unsigned char>(byte);
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

// The console line of a change: map: symbol 1001 "label" critical (4).
// Appended in pieces: the pending text keeps its capacity, so a steady
// stream of changes allocates nothing.
void appendConsoleLine(std::string& lines, const SymbolData& symbol)
{
    lines += "map: symbol ";
    appendJsonNumber(lines, symbol.id);
    lines += ' ';
    appendQuotedLabel(lines, symbol.label);
    StatusText text;
    lines += ' ';
    lines += statusName(symbol.status, text);
    lines += " (";
    appendJsonNumber(lines, symbol.status);
    lines += ")\n";
}

void showChanges()
{
    Pending& p = pending();
    if (!p.lines.empty()) {
        // The quiet setting is read once a turn, not once a change.
        const char* quiet = settingValue(Setting::Quiet);
        if (quiet == nullptr || std::strcmp(quiet, "1") != 0) {
            std::fwrite(p.lines.data(), 1, p.lines.size(), stdout);
            std::fflush(stdout);
        }
        p.lines.clear();
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

}  // namespace

void symbolChanging(const SymbolData& symbol)
{
    ++changeSerial();
    keepObjectsBeforeChange(symbol);
}

std::uint64_t mapChangeSerial()
{
    return changeSerial();
}

// Whether the line is shown (Setting::Quiet) is decided at the end of
// the turn. The listener's record is made only while there is a listener.
void symbolChanged(SymbolData& symbol)
{
    symbol.changedAt = static_cast<std::int64_t>(std::time(nullptr));
    stats().mapChanges++;
    appendConsoleLine(pending().lines, symbol);
    if (changeListener() != nullptr) {
        pending().changes.push_back(MapChange{symbol.id, symbolStateJson(symbol)});
    }
    tellKeeper(symbol);
    atTurnEnd(showChanges);
}

void symbolSettingsChanged(SymbolData& symbol)
{
    tellKeeper(symbol);
}

void mapOpened()
{
    ++changeSerial();
    if (const MapKeeper* keep = keeper()) {
        keep->mapOpened();
    }
    if (changeListener() != nullptr) {
        pending().changes.push_back(MapChange{0, mapStateJson()});
    }
    atTurnEnd(showChanges);
}

void mapClosing()
{
    ++changeSerial();
    loseMapSlices();
    if (const MapKeeper* keep = keeper()) {
        keep->mapClosing();
    }
}

void setMapKeeper(const MapKeeper* keep)
{
    keeper() = keep;
}

void setMapChangeListener(MapChangeListener listener)
{
    changeListener() = listener;
    if (listener == nullptr) {
        pending().changes.clear();
    }
}

}  // namespace simplatform
