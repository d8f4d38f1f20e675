// The map file loader: reads a JSON map file, checks it and makes it the
// open map.
//
// A fault names the file and where in it the fault lies: the line and
// column, and for a value of the wrong kind its path in the document
// (objects[3].symbols[0].id). It never quotes the file: the control port
// may be asked to open a file its user could not read.
//
// Every check returns false with the fault kept in the reader (fail), so
// the first fault found is the one reported and nothing after it is read.
#include "mapfile.h"

#include <map>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "../os/regularfile.h"
#include "boundedjson.h"
#include "mapchanges.h"
#include "mapdb.h"

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::uint64_t kMaxId = 0xFFFFFFFFu;

// A fault of the map: where is the path of the faulty value in the
// document, or empty for a fault of the whole map.
struct MapFault {
    std::string where;
    std::string text;
};

// The steps of a path such as "objects[3].fields[1]": a name for each
// member, an index for each element (or for a member by its place).
std::vector<JsonStep> stepsOf(const std::string& where)
{
    std::vector<JsonStep> steps;
    std::size_t at = 0;
    while (at < where.size()) {
        std::size_t end = where.find_first_of(".[", at);
        if (end == std::string::npos) {
            end = where.size();
        }
        if (end > at) {
            steps.push_back(JsonStep{where.substr(at, end - at), 0, false});
        }
        at = end;
        if (at < where.size() && where[at] == '[') {
            std::size_t index = 0;
            for (++at; at < where.size() && where[at] >= '0' && where[at] <= '9'; ++at) {
                index = index * 10 + static_cast<std::size_t>(where[at] - '0');
            }
            steps.push_back(JsonStep{"", index, true});
            ++at;  // the ']'
        }
        if (at < where.size() && where[at] == '.') {
            ++at;
        }
    }
    return steps;
}

std::string indexed(const std::string& where, const char* name, std::size_t index)
{
    return (where.empty() ? std::string() : where + ".") + name + "[" + std::to_string(index) + "]";
}

const char* fieldTypeName(int type)
{
    switch (type) {
    case OVw_BOOLEAN_FIELD:
        return "boolean";
    case OVw_STRING_FIELD:
        return "string";
    default:
        return "integer";
    }
}

struct FieldUse {
    int type;
    std::size_t object;  // index of the first object that has it
};

// Builds a map from its document, checking it as it goes; the first fault
// stops it.
class MapReader {
public:
    explicit MapReader(MapDatabase& map)
        : map_(map)
    {
    }

    bool read(const Json& doc);
    const MapFault& fault() const { return fault_; }

private:
    bool fail(std::string where, std::string text)
    {
        fault_ = MapFault{std::move(where), std::move(text)};
        return false;
    }
    bool positiveId(const Json& value, const std::string& where, std::uint32_t& id);
    bool wholeNumber(const Json& value, const std::string& where, std::int32_t& number);
    bool text(const Json& value, const std::string& where, std::string& out);
    bool member(const Json& object, const char* key, Json::value_t type, const std::string& where,
                const Json*& found);
    bool readSubmaps(const Json& doc);
    bool readSubmap(const Json& entry, std::size_t i);
    bool readObjects(const Json& doc);
    bool readObject(const Json& entry, std::size_t i);
    bool readFields(const Json& entry, const std::string& where, std::size_t i, ObjectData& object);
    bool readField(const std::string& name, const Json& value, const std::string& where, std::size_t i,
                   FieldData& field);
    bool readSymbols(const Json& entry, const std::string& where, ObjectData& object);
    bool readSymbol(const Json& entry, const std::string& where, ObjectData& object);
    bool registerFields();

    MapDatabase& map_;
    std::unordered_map<std::string, std::size_t> submapNames_;  // name: index
    std::map<std::string, FieldUse> fieldUses_;
    std::size_t symbolCount_ = 0;
    MapFault fault_;
};

bool MapReader::positiveId(const Json& value, const std::string& where, std::uint32_t& id)
{
    std::uint64_t number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<std::uint64_t>();
    } else if (value.is_number_integer()) {
        std::int64_t signedId = value.get<std::int64_t>();
        number = signedId > 0 ? static_cast<std::uint64_t>(signedId) : 0;
    } else {
        return fail(where, "must be a whole number");
    }
    if (number == 0 || number > kMaxId) {
        return fail(where, "must be between 1 and " + std::to_string(kMaxId));
    }
    id = static_cast<std::uint32_t>(number);
    return true;
}

bool MapReader::wholeNumber(const Json& value, const std::string& where, std::int32_t& number)
{
    if (!value.is_number_integer()) {
        return fail(where, "must be a whole number");
    }
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > 0x7FFFFFFFu) {
            return fail(where, "out of range");
        }
        number = static_cast<std::int32_t>(value.get<std::uint64_t>());
        return true;
    }
    std::int64_t wide = value.get<std::int64_t>();
    if (wide < INT32_MIN || wide > INT32_MAX) {
        return fail(where, "out of range");
    }
    number = static_cast<std::int32_t>(wide);
    return true;
}

bool MapReader::text(const Json& value, const std::string& where, std::string& out)
{
    if (!value.is_string()) {
        return fail(where, "must be a string");
    }
    out = value.get<std::string>();
    return true;
}

// found: the member, or an empty value when the object has none.
bool MapReader::member(const Json& object, const char* key, Json::value_t type, const std::string& where,
                       const Json*& found)
{
    static const Json nothing;
    auto it = object.find(key);
    found = &nothing;
    if (it == object.end()) {
        return true;
    }
    if (it->type() != type) {
        const char* kind = type == Json::value_t::array ? "an array" : "an object";
        return fail(where.empty() ? key : where + "." + key, std::string("must be ") + kind);
    }
    found = &*it;
    return true;
}

bool MapReader::read(const Json& doc)
{
    if (!doc.is_object()) {
        return fail("", "the map must be a JSON object");
    }
    if (doc.contains("name") && !text(doc["name"], "name", map_.name)) {
        return false;
    }
    if (!readSubmaps(doc) || !readObjects(doc) || !registerFields()) {
        return false;
    }
    const FieldRegistry& registry = fieldRegistry();
    for (ObjectData& object : map_.objects) {
        for (FieldData& field : object.fields) {
            field.id = registry.ids.find(field.name)->second;  // every name is registered now
        }
    }
    return true;
}

bool MapReader::readSubmaps(const Json& doc)
{
    const Json* submaps = nullptr;
    if (!member(doc, "submaps", Json::value_t::array, "", submaps)) {
        return false;
    }
    if (submaps->size() > kMaxSubmaps) {
        return fail("submaps", "too large: more than " + std::to_string(kMaxSubmaps) + " submaps");
    }
    for (std::size_t i = 0; i < submaps->size(); ++i) {
        if (!readSubmap((*submaps)[i], i)) {
            return false;
        }
    }
    return true;
}

bool MapReader::readSubmap(const Json& entry, std::size_t i)
{
    std::string where = indexed("", "submaps", i);
    if (!entry.is_object()) {
        return fail(where, "must be an object");
    }
    if (!entry.contains("id") || !entry.contains("name")) {
        return fail(where, "needs an id and a name");
    }
    SubmapData submap;
    if (!positiveId(entry["id"], where + ".id", submap.id) || !text(entry["name"], where + ".name", submap.name)) {
        return false;
    }
    auto id = map_.submapIndex.emplace(submap.id, i);
    if (!id.second) {
        return fail(where + ".id", "already the id of " + indexed("", "submaps", id.first->second));
    }
    auto named = submapNames_.emplace(submap.name, i);
    if (!named.second) {
        return fail(where + ".name", "already the name of " + indexed("", "submaps", named.first->second));
    }
    map_.submaps.push_back(std::move(submap));
    return true;
}

bool MapReader::readObjects(const Json& doc)
{
    const Json* objects = nullptr;
    if (!member(doc, "objects", Json::value_t::array, "", objects)) {
        return false;
    }
    if (objects->size() > kMaxObjects) {
        return fail("objects", "too large: more than " + std::to_string(kMaxObjects) + " objects");
    }
    for (std::size_t i = 0; i < objects->size(); ++i) {
        if (!readObject((*objects)[i], i)) {
            return false;
        }
    }
    return true;
}

bool MapReader::readObject(const Json& entry, std::size_t i)
{
    std::string where = indexed("", "objects", i);
    if (!entry.is_object()) {
        return fail(where, "must be an object");
    }
    if (!entry.contains("id")) {
        return fail(where, "needs an id");
    }
    ObjectData object;
    if (!positiveId(entry["id"], where + ".id", object.id)) {
        return false;
    }
    auto id = map_.objectIndex.emplace(object.id, map_.objects.size());
    if (!id.second) {
        return fail(where + ".id", "already the id of " + indexed("", "objects", id.first->second));
    }
    if (entry.contains("hostname")) {
        object.hostname.emplace();
        if (!text(entry["hostname"], where + ".hostname", *object.hostname)) {
            return false;
        }
    }
    if (!readFields(entry, where, i, object) || !readSymbols(entry, where, object)) {
        return false;
    }
    map_.objects.push_back(std::move(object));
    return true;
}

bool MapReader::readFields(const Json& entry, const std::string& where, std::size_t i, ObjectData& object)
{
    const Json* fields = nullptr;
    if (!member(entry, "fields", Json::value_t::object, where, fields)) {
        return false;
    }
    if (fields->size() > kMaxFieldsPerObject) {
        return fail(where + ".fields", "too large: more than " + std::to_string(kMaxFieldsPerObject) + " fields");
    }
    std::size_t place = 0;
    for (const auto& [name, value] : fields->items()) {
        // By its place, not its name: the name is the file's text.
        FieldData field;
        if (!readField(name, value, indexed(where, "fields", place++), i, field)) {
            return false;
        }
        object.fields.push_back(std::move(field));
    }
    return true;
}

// A field of object i; a field has one type on the whole map, as its id has
// one meaning.
bool MapReader::readField(const std::string& name, const Json& value, const std::string& where, std::size_t i,
                          FieldData& field)
{
    field.name = name;
    if (value.is_boolean()) {
        field.type = OVw_BOOLEAN_FIELD;
        field.boolean = value.get<bool>();
    } else if (value.is_string()) {
        field.type = OVw_STRING_FIELD;
        field.text = value.get<std::string>();
    } else if (value.is_number_integer()) {
        field.type = OVw_INTEGER_FIELD;
        if (!wholeNumber(value, where, field.integer)) {
            return false;
        }
    } else {
        return fail(where, "must be true or false, a string or a whole number");
    }
    auto [use, added] = fieldUses_.emplace(name, FieldUse{field.type, i});
    if (!added && use->second.type != field.type) {
        return fail(where, std::string(fieldTypeName(field.type)) + ", but " + fieldTypeName(use->second.type) +
                               " in " + indexed("", "objects", use->second.object));
    }
    return true;
}

bool MapReader::readSymbols(const Json& entry, const std::string& where, ObjectData& object)
{
    const Json* symbols = nullptr;
    if (!member(entry, "symbols", Json::value_t::array, where, symbols)) {
        return false;
    }
    symbolCount_ += symbols->size();
    if (symbolCount_ > kMaxSymbols) {
        return fail(where + ".symbols",
                    "too large: more than " + std::to_string(kMaxSymbols) + " symbols on the map");
    }
    for (std::size_t k = 0; k < symbols->size(); ++k) {
        if (!readSymbol((*symbols)[k], indexed(where, "symbols", k), object)) {
            return false;
        }
    }
    return true;
}

bool MapReader::readSymbol(const Json& entry, const std::string& where, ObjectData& object)
{
    if (!entry.is_object()) {
        return fail(where, "must be an object");
    }
    if (!entry.contains("id") || !entry.contains("submap")) {
        return fail(where, "needs an id and a submap");
    }
    SymbolData symbol;
    if (!positiveId(entry["id"], where + ".id", symbol.id) ||
        !positiveId(entry["submap"], where + ".submap", symbol.submap)) {
        return false;
    }
    if (map_.submapIndex.count(symbol.submap) == 0) {
        return fail(where + ".submap", "no submap has this id");
    }
    // Without a label of its own a symbol is labelled with its object's
    // host name.
    if (!entry.contains("label")) {
        symbol.label = object.hostname.value_or("");
    } else if (!text(entry["label"], where + ".label", symbol.label)) {
        return false;
    }
    if (entry.contains("status") && !wholeNumber(entry["status"], where + ".status", symbol.status)) {
        return false;
    }
    auto position = std::make_pair(map_.objects.size(), object.symbols.size());
    auto id = map_.symbolIndex.emplace(symbol.id, position);
    if (!id.second) {
        return fail(where + ".id", "already the id of " + indexed(indexed("", "objects", id.first->second.first),
                                                                  "symbols", id.first->second.second));
    }
    object.symbols.push_back(std::move(symbol));
    return true;
}

// Field names the map uses, checked against the registry's room before any
// of them is registered, so a refused map leaves the registry as it was.
bool MapReader::registerFields()
{
    FieldRegistry& registry = fieldRegistry();
    std::size_t fresh = 0;
    for (const auto& used : fieldUses_) {
        fresh += registry.ids.count(used.first) == 0 ? 1U : 0U;
    }
    if (registry.names.size() + fresh > kMaxFieldNames) {
        return fail("", "too many distinct field names (the platform holds at most " +
                            std::to_string(kMaxFieldNames) + ")");
    }
    for (const auto& used : fieldUses_) {
        if (registry.ids.count(used.first) == 0) {
            registry.names.push_back(used.first);
            registry.ids[used.first] = static_cast<OVwFieldId>(registry.names.size());
        }
    }
    return true;
}

// The map in source, or null with the fault.
std::unique_ptr<MapDatabase> parseMap(const std::string& source, MapFault& fault)
{
    if (source.size() > kMaxMapFileBytes) {
        fault = MapFault{"", "too large: more than " + std::to_string(kMaxMapFileBytes) + " bytes"};
        return nullptr;
    }
    Json doc;
    if (!parseBoundedJson(source, JsonLimits{kMaxMapValues, kMaxMapNesting, kMaxMapMembers}, doc, fault.text)) {
        return nullptr;
    }
    auto map = std::make_unique<MapDatabase>();
    MapReader reader(*map);
    if (!reader.read(doc)) {
        fault = reader.fault();
        return nullptr;
    }
    return map;
}

// The map in text made the open map; source is the file it was read from
// (empty for text from elsewhere), which tells the same map opened again.
bool installMapText(const std::string& text, const std::string& name, const std::string& source,
                    std::string& error)
{
    MapFault fault;
    std::unique_ptr<MapDatabase> map = parseMap(text, fault);
    if (!map) {
        error = name + ": ";
        if (!fault.where.empty()) {
            std::string position = locateJson(text, stepsOf(fault.where));
            error += (position.empty() ? "" : position + ": ") + fault.where + ": ";
        }
        error += fault.text;
        return false;
    }
    map->source = source;
    installMap(std::move(map));
    mapOpened();
    return true;
}

}  // namespace

bool openMapText(const std::string& text, const std::string& name, std::string& error)
{
    return installMapText(text, name, std::string(), error);
}

bool openMapFile(const std::string& path, std::string& error)
{
    std::string contents;
    std::string reason;
    if (!readRegularFile(path, kMaxMapFileBytes, contents, reason)) {
        error = path + ": " + reason;
        return false;
    }
    return installMapText(contents, path, path, error);
}

}  // namespace simplatform
