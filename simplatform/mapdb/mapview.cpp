// The state document of the open map and of one symbol, written directly as
// text (jsontext.h), status names, and the walk over the symbols.
#include "mapview.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <vector>

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

// The runs that keep their instant: they hear of changes and of the map's
// going. Few (one for each document being made), so a list.
std::vector<MapSlices*>& instantSlices()
{
    static auto* list = new std::vector<MapSlices*>;
    return *list;
}

void forget(MapSlices* slices)
{
    std::vector<MapSlices*>& list = instantSlices();
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == slices) {
            list[i] = list.back();
            list.pop_back();
            return;
        }
    }
}

}  // namespace

MapSlices::~MapSlices()
{
    end();
}

void MapSlices::begin(const MapDatabase& map, unsigned passes, bool keepInstant)
{
    end();
    map_ = &map;
    passes_ = passes;
    pass_ = 0;
    next_ = 0;
    keepInstant_ = keepInstant;
    lost_ = false;
    if (keepInstant_) {
        instantSlices().push_back(this);
    }
}

MapSlices::Step MapSlices::appendSlice(std::string& out, AppendObject append)
{
    if (map_ == nullptr) {
        return Step::Done;
    }
    const std::vector<ObjectData>& objects = map_->objects;
    bool last = pass_ + 1 == passes_;
    size_t stop = std::min(objects.size(), next_ + kSliceObjects);
    size_t start = out.size();
    for (; next_ < stop && out.size() - start < kSliceBytes; ++next_) {
        auto kept = kept_.find(next_);
        if (kept == kept_.end()) {
            append(out, *map_, objects[next_], next_, pass_);
        } else {
            append(out, *map_, kept->second, next_, pass_);
            if (last) {
                kept_.erase(kept);
            }
        }
    }
    if (next_ < objects.size()) {
        return Step::More;
    }
    if (!last) {
        ++pass_;
        next_ = 0;
        return Step::PassDone;
    }
    end();
    return Step::Done;
}

void MapSlices::end()
{
    if (keepInstant_) {
        forget(this);
    }
    map_ = nullptr;
    keepInstant_ = false;
    kept_.clear();
}

// Copied once, the first time one of its symbols changes, and only while a
// slice is still to write it.
void MapSlices::keepBefore(const SymbolData& symbol)
{
    auto found = map_->symbolIndex.find(symbol.id);
    if (found == map_->symbolIndex.end()) {
        return;
    }
    size_t index = found->second.first;
    bool written = pass_ + 1 == passes_ && index < next_;
    if (!written && kept_.find(index) == kept_.end()) {
        kept_.emplace(index, map_->objects[index]);
    }
}

void keepObjectsBeforeChange(const SymbolData& symbol)
{
    for (MapSlices* slices : instantSlices()) {
        slices->keepBefore(symbol);
    }
}

void loseMapSlices()
{
    std::vector<MapSlices*> list;
    list.swap(instantSlices());
    for (MapSlices* slices : list) {
        slices->keepInstant_ = false;  // already off the list
        slices->end();
        slices->lost_ = true;
    }
}

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

}  // namespace simplatform
