// The map file loader: reads a JSON map file, checks it and makes it the
// open map.
#include "mapfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "mapdb.h"
#include "mapview.h"

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

struct MapFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fault(const std::string& text)
{
    throw MapFault(text);
}

// Nesting is checked before parsing so that no input can drive the parser
// or the value's destructor into deep recursion.
void checkNesting(const std::string& text)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxMapNesting) {
                fault("nested deeper than " + std::to_string(kMaxMapNesting) + " levels");
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
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
        fault(where + ": must be a whole number");
    }
    if (id == 0 || id > 0xFFFFFFFFu) {
        fault(where + ": must be between 1 and 4294967295");
    }
    return static_cast<std::uint32_t>(id);
}

std::int32_t wholeNumber(const Json& value, const std::string& where)
{
    if (!value.is_number_integer()) {
        fault(where + ": must be a whole number");
    }
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > 0x7FFFFFFFu) {
            fault(where + ": out of range");
        }
        return static_cast<std::int32_t>(value.get<std::uint64_t>());
    }
    std::int64_t number = value.get<std::int64_t>();
    if (number < INT32_MIN || number > INT32_MAX) {
        fault(where + ": out of range");
    }
    return static_cast<std::int32_t>(number);
}

std::string text(const Json& value, const std::string& where)
{
    if (!value.is_string()) {
        fault(where + ": must be a string");
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
        fault(where + "." + key + ": must be " + kind);
    }
    return *found;
}

const char* fieldTypeName(int type)
{
    switch (type) {
    case OVw_BOOLEAN_FIELD: return "boolean";
    case OVw_STRING_FIELD: return "string";
    default: return "integer";
    }
}

struct FieldUse {
    int type;
    OVwObjectId object;
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
        fault("too many distinct field names (the platform holds at most " +
              std::to_string(kMaxFieldNames) + ")");
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
    checkNesting(source);
    Json doc;
    try {
        doc = Json::parse(source);
    } catch (const Json::exception& e) {  // parse_error, and out_of_range for a number too large
        std::string what = e.what();
        auto end = what.find("] ");
        fault("not JSON: " + (what.rfind("[json.exception", 0) == 0 && end != std::string::npos
                                  ? what.substr(end + 2)
                                  : what));
    }
    if (!doc.is_object()) {
        fault("the map must be a JSON object");
    }

    auto map = std::make_unique<MapDatabase>();
    if (doc.contains("name")) {
        map->name = text(doc["name"], "name");
    }

    const Json& submaps = member(doc, "submaps", Json::value_t::array, "map");
    if (submaps.size() > kMaxSubmaps) {
        fault("too large: more than " + std::to_string(kMaxSubmaps) + " submaps");
    }
    std::unordered_map<std::string, OVwSubmapId> submapNames;
    for (std::size_t i = 0; i < submaps.size(); ++i) {
        std::string where = "submaps[" + std::to_string(i) + "]";
        const Json& entry = submaps[i];
        if (!entry.is_object()) {
            fault(where + ": must be an object");
        }
        if (!entry.contains("id") || !entry.contains("name")) {
            fault(where + ": needs an id and a name");
        }
        SubmapData submap;
        submap.id = positiveId(entry["id"], where + ".id");
        submap.name = text(entry["name"], where + ".name");
        if (!map->submapIndex.emplace(submap.id, map->submaps.size()).second) {
            fault("duplicate submap id " + std::to_string(submap.id));
        }
        if (!submapNames.emplace(submap.name, submap.id).second) {
            fault("duplicate submap name \"" + submap.name + "\"");
        }
        map->submaps.push_back(std::move(submap));
    }

    const Json& objects = member(doc, "objects", Json::value_t::array, "map");
    if (objects.size() > kMaxObjects) {
        fault("too large: more than " + std::to_string(kMaxObjects) + " objects");
    }
    std::map<std::string, FieldUse> fieldUses;
    std::size_t symbolCount = 0;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        std::string where = "objects[" + std::to_string(i) + "]";
        const Json& entry = objects[i];
        if (!entry.is_object()) {
            fault(where + ": must be an object");
        }
        if (!entry.contains("id")) {
            fault(where + ": needs an id");
        }
        ObjectData object;
        object.id = positiveId(entry["id"], where + ".id");
        if (!map->objectIndex.emplace(object.id, map->objects.size()).second) {
            fault("duplicate object id " + std::to_string(object.id));
        }
        if (entry.contains("hostname")) {
            object.hostname = text(entry["hostname"], where + ".hostname");
        }

        const Json& fields = member(entry, "fields", Json::value_t::object, where);
        if (fields.size() > kMaxFieldsPerObject) {
            fault("too large: " + where + " has more than " + std::to_string(kMaxFieldsPerObject) +
                  " fields");
        }
        for (const auto& [fieldName, value] : fields.items()) {
            std::string fieldWhere = where + ".fields.\"" + fieldName + "\"";
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
                fault(fieldWhere + ": must be true or false, a string or a whole number");
            }
            // A field has one type on the whole map, as its id has one meaning.
            auto [use, added] = fieldUses.emplace(fieldName, FieldUse{field.type, object.id});
            if (!added && use->second.type != field.type) {
                fault("field \"" + fieldName + "\" is " + fieldTypeName(use->second.type) +
                      " on object " + std::to_string(use->second.object) + " but " +
                      fieldTypeName(field.type) + " on object " + std::to_string(object.id));
            }
            object.fields.push_back(std::move(field));
        }

        const Json& symbols = member(entry, "symbols", Json::value_t::array, where);
        symbolCount += symbols.size();
        if (symbolCount > kMaxSymbols) {
            fault("too large: more than " + std::to_string(kMaxSymbols) + " symbols");
        }
        for (std::size_t k = 0; k < symbols.size(); ++k) {
            std::string symbolWhere = where + ".symbols[" + std::to_string(k) + "]";
            const Json& symbolEntry = symbols[k];
            if (!symbolEntry.is_object()) {
                fault(symbolWhere + ": must be an object");
            }
            if (!symbolEntry.contains("id") || !symbolEntry.contains("submap")) {
                fault(symbolWhere + ": needs an id and a submap");
            }
            SymbolData symbol;
            symbol.id = positiveId(symbolEntry["id"], symbolWhere + ".id");
            symbol.submap = positiveId(symbolEntry["submap"], symbolWhere + ".submap");
            if (map->submapIndex.count(symbol.submap) == 0) {
                fault("symbol " + std::to_string(symbol.id) + " is on unknown submap " +
                      std::to_string(symbol.submap));
            }
            // Without a label of its own a symbol is labelled with its
            // object's host name.
            symbol.label = symbolEntry.contains("label")
                               ? text(symbolEntry["label"], symbolWhere + ".label")
                               : object.hostname.value_or("");
            if (symbolEntry.contains("status")) {
                symbol.status = wholeNumber(symbolEntry["status"], symbolWhere + ".status");
            }
            auto position = std::make_pair(map->objects.size(), object.symbols.size());
            if (!map->symbolIndex.emplace(symbol.id, position).second) {
                fault("duplicate symbol id " + std::to_string(symbol.id));
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

bool readMapFile(const std::string& path, std::string& contents, std::string& faultText)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        faultText = std::string("cannot read: ") + std::strerror(errno);
        return false;
    }
    contents.clear();
    char chunk[65536];
    bool ok = true;
    for (;;) {
        std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        contents.append(chunk, got);
        if (contents.size() > kMaxMapFileBytes) {
            faultText = "too large: more than " + std::to_string(kMaxMapFileBytes) + " bytes";
            ok = false;
            break;
        }
        if (got < sizeof chunk) {
            if (std::ferror(file)) {
                faultText = std::string("cannot read: ") + std::strerror(errno);
                ok = false;
            }
            break;
        }
    }
    std::fclose(file);
    if (!ok) {
        contents.clear();
    }
    return ok;
}

}  // namespace

bool openMapText(const std::string& text, const std::string& name, std::string& error)
{
    std::unique_ptr<MapDatabase> map;
    try {
        if (text.size() > kMaxMapFileBytes) {
            fault("too large: more than " + std::to_string(kMaxMapFileBytes) + " bytes");
        }
        map = parseMap(text);
    } catch (const MapFault& e) {
        error = name + ": " + e.what();
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
    if (!readMapFile(path, contents, faultText)) {
        error = path + ": " + faultText;
        return false;
    }
    return openMapText(contents, path, error);
}

}  // namespace simplatform
