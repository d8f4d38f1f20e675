// The map file loader: reads a JSON map file, checks it and makes it the
// open map.
//
// A fault names the file and where in it the fault lies: the line and
// column, and for a value of the wrong kind its path in the document
// (objects[3].symbols[0].id). It never quotes the file: the control port
// may be asked to open a file its user could not read.
#include "mapfile.h"

#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "../os/regularfile.h"
#include "boundedjson.h"
#include "mapdb.h"
#include "mapchanges.h"

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

// where is the path of the faulty value in the document, or empty for a
// fault of the whole map.
struct MapFault : std::runtime_error {
    MapFault(std::string at, const std::string& text)
        : std::runtime_error(text)
        , where(std::move(at))
    {
    }
    std::string where;
};

[[noreturn]] void fault(const std::string& where, const std::string& text)
{
    throw MapFault(where, text);
}

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
            std::size_t close = where.find(']', at);
            steps.push_back(JsonStep{"", std::stoul(where.substr(at + 1, close - at - 1)), true});
            at = close + 1;
        }
        if (at < where.size() && where[at] == '.') {
            ++at;
        }
    }
    return steps;
}

std::uint32_t positiveId(const Json& value, const std::string& where)
{
    std::uint64_t id = 0;
    if (value.is_number_unsigned()) {
        id = value.get<std::uint64_t>();
    } else if (value.is_number_integer()) {
        std::int64_t signedId = value.get<std::int64_t>();
        id = signedId > 0 ? static_cast<std::uint64_t>(signedId) : 0;
    } else {
        fault(where, "must be a whole number");
    }
    if (id == 0 || id > 0xFFFFFFFFu) {
        fault(where, "must be between 1 and 4294967295");
    }
    return static_cast<std::uint32_t>(id);
}

std::int32_t wholeNumber(const Json& value, const std::string& where)
{
    if (!value.is_number_integer()) {
        fault(where, "must be a whole number");
    }
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > 0x7FFFFFFFu) {
            fault(where, "out of range");
        }
        return static_cast<std::int32_t>(value.get<std::uint64_t>());
    }
    std::int64_t number = value.get<std::int64_t>();
    if (number < INT32_MIN || number > INT32_MAX) {
        fault(where, "out of range");
    }
    return static_cast<std::int32_t>(number);
}

std::string text(const Json& value, const std::string& where)
{
    if (!value.is_string()) {
        fault(where, "must be a string");
    }
    return value.get<std::string>();
}

const Json& member(const Json& object, const char* key, Json::value_t type, const std::string& where)
{
    static const Json nothing;
    auto found = object.find(key);
    if (found == object.end()) {
        return nothing;
    }
    if (found->type() != type) {
        const char* kind = type == Json::value_t::array ? "an array" : "an object";
        fault(where.empty() ? key : where + "." + key, std::string("must be ") + kind);
    }
    return *found;
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

// Field names a map uses, checked against the registry's room before any of
// them is registered, so a refused map leaves the registry as it was.
void registerFields(const std::map<std::string, FieldUse>& used)
{
    FieldRegistry& registry = fieldRegistry();
    std::size_t fresh = 0;
    for (const auto& [name, use] : used) {
        (void)use;
        if (registry.ids.count(name) == 0) {
            ++fresh;
        }
    }
    if (registry.names.size() + fresh > kMaxFieldNames) {
        fault("",
              "too many distinct field names (the platform holds at most " + std::to_string(kMaxFieldNames) + ")");
    }
    for (const auto& [name, use] : used) {
        (void)use;
        if (registry.ids.count(name) == 0) {
            registry.names.push_back(name);
            registry.ids[name] = static_cast<OVwFieldId>(registry.names.size());
        }
    }
}

std::unique_ptr<MapDatabase> parseMap(const std::string& source)
{
    Json doc;
    std::string syntax;
    if (!parseBoundedJson(source, JsonLimits{kMaxMapValues, kMaxMapNesting, kMaxMapMembers}, doc, syntax)) {
        throw MapFault("", syntax);
    }
    if (!doc.is_object()) {
        fault("", "the map must be a JSON object");
    }

    auto map = std::make_unique<MapDatabase>();
    if (doc.contains("name")) {
        map->name = text(doc["name"], "name");
    }

    const Json& submaps = member(doc, "submaps", Json::value_t::array, "");
    if (submaps.size() > kMaxSubmaps) {
        fault("submaps", "too large: more than " + std::to_string(kMaxSubmaps) + " submaps");
    }
    std::unordered_map<std::string, std::size_t> submapNames;  // name: index
    for (std::size_t i = 0; i < submaps.size(); ++i) {
        std::string where = "submaps[" + std::to_string(i) + "]";
        const Json& entry = submaps[i];
        if (!entry.is_object()) {
            fault(where, "must be an object");
        }
        if (!entry.contains("id") || !entry.contains("name")) {
            fault(where, "needs an id and a name");
        }
        SubmapData submap;
        submap.id = positiveId(entry["id"], where + ".id");
        submap.name = text(entry["name"], where + ".name");
        auto id = map->submapIndex.emplace(submap.id, i);
        if (!id.second) {
            fault(where + ".id", "already the id of submaps[" + std::to_string(id.first->second) + "]");
        }
        auto named = submapNames.emplace(submap.name, i);
        if (!named.second) {
            fault(where + ".name", "already the name of submaps[" + std::to_string(named.first->second) + "]");
        }
        map->submaps.push_back(std::move(submap));
    }

    const Json& objects = member(doc, "objects", Json::value_t::array, "");
    if (objects.size() > kMaxObjects) {
        fault("objects", "too large: more than " + std::to_string(kMaxObjects) + " objects");
    }
    std::map<std::string, FieldUse> fieldUses;
    std::size_t symbolCount = 0;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        std::string where = "objects[" + std::to_string(i) + "]";
        const Json& entry = objects[i];
        if (!entry.is_object()) {
            fault(where, "must be an object");
        }
        if (!entry.contains("id")) {
            fault(where, "needs an id");
        }
        ObjectData object;
        object.id = positiveId(entry["id"], where + ".id");
        auto id = map->objectIndex.emplace(object.id, map->objects.size());
        if (!id.second) {
            fault(where + ".id", "already the id of objects[" + std::to_string(id.first->second) + "]");
        }
        if (entry.contains("hostname")) {
            object.hostname = text(entry["hostname"], where + ".hostname");
        }

        const Json& fields = member(entry, "fields", Json::value_t::object, where);
        if (fields.size() > kMaxFieldsPerObject) {
            fault(where + ".fields", "too large: more than " + std::to_string(kMaxFieldsPerObject) + " fields");
        }
        std::size_t place = 0;
        for (const auto& [fieldName, value] : fields.items()) {
            // By its place, not its name: the name is the file's text.
            std::string fieldWhere = where + ".fields[" + std::to_string(place++) + "]";
            FieldData field;
            field.name = fieldName;
            if (value.is_boolean()) {
                field.type = OVw_BOOLEAN_FIELD;
                field.boolean = value.get<bool>();
            } else if (value.is_string()) {
                field.type = OVw_STRING_FIELD;
                field.text = value.get<std::string>();
            } else if (value.is_number_integer()) {
                field.type = OVw_INTEGER_FIELD;
                field.integer = wholeNumber(value, fieldWhere);
            } else {
                fault(fieldWhere, "must be true or false, a string or a whole number");
            }
            // A field has one type on the whole map, as its id has one meaning.
            auto [use, added] = fieldUses.emplace(fieldName, FieldUse{field.type, i});
            if (!added && use->second.type != field.type) {
                fault(fieldWhere, std::string(fieldTypeName(field.type)) + ", but " +
                                      fieldTypeName(use->second.type) + " in objects[" +
                                      std::to_string(use->second.object) + "]");
            }
            object.fields.push_back(std::move(field));
        }

        const Json& symbols = member(entry, "symbols", Json::value_t::array, where);
        symbolCount += symbols.size();
        if (symbolCount > kMaxSymbols) {
            fault(where + ".symbols",
                  "too large: more than " + std::to_string(kMaxSymbols) + " symbols on the map");
        }
        for (std::size_t k = 0; k < symbols.size(); ++k) {
            std::string symbolWhere = where + ".symbols[" + std::to_string(k) + "]";
            const Json& symbolEntry = symbols[k];
            if (!symbolEntry.is_object()) {
                fault(symbolWhere, "must be an object");
            }
            if (!symbolEntry.contains("id") || !symbolEntry.contains("submap")) {
                fault(symbolWhere, "needs an id and a submap");
            }
            SymbolData symbol;
            symbol.id = positiveId(symbolEntry["id"], symbolWhere + ".id");
            symbol.submap = positiveId(symbolEntry["submap"], symbolWhere + ".submap");
            if (map->submapIndex.count(symbol.submap) == 0) {
                fault(symbolWhere + ".submap", "no submap has this id");
            }
            // Without a label of its own a symbol is labelled with its
            // object's host name.
            symbol.label = symbolEntry.contains("label") ? text(symbolEntry["label"], symbolWhere + ".label")
                                                         : object.hostname.value_or("");
            if (symbolEntry.contains("status")) {
                symbol.status = wholeNumber(symbolEntry["status"], symbolWhere + ".status");
            }
            auto position = std::make_pair(map->objects.size(), object.symbols.size());
            auto id = map->symbolIndex.emplace(symbol.id, position);
            if (!id.second) {
                fault(symbolWhere + ".id", "already the id of objects[" + std::to_string(id.first->second.first) +
                                               "].symbols[" + std::to_string(id.first->second.second) + "]");
            }
            object.symbols.push_back(std::move(symbol));
        }
        map->objects.push_back(std::move(object));
    }

    registerFields(fieldUses);
    const FieldRegistry& registry = fieldRegistry();
    for (ObjectData& object : map->objects) {
        for (FieldData& field : object.fields) {
            field.id = registry.ids.at(field.name);
        }
    }
    return map;
}

}  // namespace

bool openMapText(const std::string& text, const std::string& name, std::string& error)
{
    std::unique_ptr<MapDatabase> map;
    try {
        if (text.size() > kMaxMapFileBytes) {
            fault("", "too large: more than " + std::to_string(kMaxMapFileBytes) + " bytes");
        }
        map = parseMap(text);
    } catch (const MapFault& e) {
        error = name + ": ";
        if (!e.where.empty()) {
            std::string position = locateJson(text, stepsOf(e.where));
            error += (position.empty() ? "" : position + ": ") + e.where + ": ";
        }
        error += e.what();
        return false;
    }
    installMap(std::move(map));
    mapOpened();
    return true;
}

bool openMapFile(const std::string& path, std::string& error)
{
    std::string contents;
    std::string faultText;
    if (!readRegularFile(path, kMaxMapFileBytes, contents, faultText)) {
        error = path + ": " + faultText;
        return false;
    }
    return openMapText(contents, path, error);
}

}  // namespace simplatform
