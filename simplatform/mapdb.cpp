// The map database: one network map loaded from a JSON map file, the map
// services of the map library over it, and the views of its state (the
// state reply, the state file and the console line per change).
//
// Ownership of returned records: every list, description, value and text
// that a map service returns is a copy built for that call. The platform
// keeps it (keepUntilNextMessage) and releases it when the program next asks
// the message loop for a message, so the program reads it during its handler
// and never frees it; later changes to the map do not alter a record already
// handed out.
//
// Map handles: each opened map gets a handle of its own that is never freed,
// so a handle kept from an earlier map is recognised as stale and refused,
// never followed into freed memory.
//
// Everything here runs on the message loop's thread (see internal.h). All
// state lives in function-local statics, because the start-up map is loaded
// from another file's static initializer.
#include "mapdb.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

// internal.h brings winsock2.h, which must come before windows.h.
#include "internal.h"
#include "session.h"

#ifdef _WIN32
#include <windows.h>
#endif

// The handle of one opened map; its address is what the program holds.
struct MapHandle {
    std::uint64_t serial;
};

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

// ---- the map's contents ----

struct FieldData {
    OVwFieldId id = 0;
    std::string name;
    int type = OVw_BOOLEAN_FIELD;
    bool boolean = false;
    std::int32_t integer = 0;
    std::string text;
};

struct Behavior {
    int code = 0;
    std::optional<std::string> name;
    std::optional<std::string> altName;
};

struct SymbolData {
    OVwSymbolId id = 0;
    std::string label;
    OVwSubmapId submap = 0;
    int status = 2;
    std::optional<int> statusSource;
    std::optional<Behavior> behavior;
};

struct ObjectData {
    OVwObjectId id = 0;
    std::optional<std::string> hostname;
    std::vector<FieldData> fields;  // map-file order
    std::vector<SymbolData> symbols;
};

struct SubmapData {
    OVwSubmapId id = 0;
    std::string name;
};

class MapDatabase {
public:
    std::string name;
    std::vector<SubmapData> submaps;
    std::vector<ObjectData> objects;  // the platform's list order
    std::unordered_map<OVwObjectId, std::size_t> objectIndex;
    std::unordered_map<OVwSymbolId, std::pair<std::size_t, std::size_t>> symbolIndex;
    std::unordered_map<OVwSubmapId, std::size_t> submapIndex;
    std::unordered_map<OVwSymbolId, std::uint64_t> acknowledgements;
    MapHandle* handle = nullptr;

    ObjectData* object(OVwObjectId id)
    {
        auto found = objectIndex.find(id);
        return found == objectIndex.end() ? nullptr : &objects[found->second];
    }
    SymbolData* symbol(OVwSymbolId id)
    {
        auto found = symbolIndex.find(id);
        if (found == symbolIndex.end()) {
            return nullptr;
        }
        return &objects[found->second.first].symbols[found->second.second];
    }
};

// ---- process-wide state ----

// Field ids belong to the platform, not to one map: a name keeps its id for
// the life of the process, so ids never change meaning between maps.
struct FieldRegistry {
    std::unordered_map<std::string, OVwFieldId> ids;
    std::vector<std::string> names;  // names[id - 1]
};

FieldRegistry& fieldRegistry()
{
    static FieldRegistry registry;
    return registry;
}

std::unique_ptr<MapDatabase>& openMap()
{
    static std::unique_ptr<MapDatabase> map;
    return map;
}

std::deque<MapHandle>& issuedHandles()
{
    static std::deque<MapHandle> handles;
    return handles;
}

struct InjectedFailure {
    int count = 0;
    std::string text;
};

std::map<std::string, InjectedFailure>& injectedFailures()
{
    static std::map<std::string, InjectedFailure> failures;
    return failures;
}

const char* const kMapServices[] = {
    "OVwGetMapInfo",          "OVwListObjectsOnMap",      "OVwDbFieldNameToFieldId",
    "OVwDbGetFieldValue",     "OVwDbObjectIdToHostname",  "OVwGetSymbolsByObject",
    "OVwSetSymbolStatusSource", "OVwSetSymbolBehavior",   "OVwGetSymbolInfo",
    "OVwSetStatusOnSymbol",   "OVwSetSymbolLabel",        "OVwAckUserSubmapCreate",
};

// True (with the failure left for OVwError) when a test asked this call to fail.
bool injectedFailure(const char* operation)
{
    auto& failures = injectedFailures();
    auto found = failures.find(operation);
    if (found == failures.end()) {
        return false;
    }
    setMapError(kMapErrorInjected, found->second.text);
    if (--found->second.count <= 0) {
        failures.erase(found);
    }
    return true;
}

// Every map service starts here: false (with the failure left for OVwError)
// when a test asked this call to fail; otherwise the last failure is
// cleared, so that OVwError always speaks of the latest call.
bool callBegins(const char* operation)
{
    if (injectedFailure(operation)) {
        return false;
    }
    clearMapError();
    return true;
}

// ---- handing records to the program ----

// Keeps record alive until the program next asks for a message.
template <typename Record>
Record* handOver(std::shared_ptr<Record> record)
{
    Record* raw = record.get();
    keepUntilNextMessage([record]() mutable { record.reset(); });
    return raw;
}

struct ObjectListRecord {
    ObjectList list{};
    std::vector<ObjectInfo> objects;
};

struct SymbolListRecord {
    SymbolList list{};
    std::vector<SymbolInfo> symbols;
    std::vector<std::string> labels;
};

struct SymbolInfoRecord {
    SymbolInfo info{};
    std::string label;
};

struct FieldValueRecord {
    FieldValue value{};
    std::string text;
};

struct SubmapInfoRecord {
    SubmapInfo info{};
    std::string name;
};

SymbolInfo* handOverSymbolInfo(const SymbolData& symbol)
{
    auto record = std::make_shared<SymbolInfoRecord>();
    record->label = symbol.label;
    record->info.symbol_id = symbol.id;
    record->info.label = &record->label[0];
    return &handOver(record)->info;
}

// ---- texts ----

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

// ---- loading a map file ----

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

// ---- the state views ----

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

// A symbol's status or label changed: count it, show it, save the state.
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
}

// ---- argument checks shared by the services ----

MapDatabase* mapOf(MapHandle* handle)
{
    auto& map = openMap();
    if (!map) {
        setMapError(kMapErrorNoMap, "no map is open");
        return nullptr;
    }
    if (handle == nullptr || handle != map->handle) {
        setMapError(kMapErrorNoMap, "the map handle is not the open map's");
        return nullptr;
    }
    return map.get();
}

// The object of id on the open map; any map will do for the object database.
ObjectData* objectOf(OVwObjectId id)
{
    auto& map = openMap();
    if (!map) {
        setMapError(kMapErrorNoMap, "no map is open");
        return nullptr;
    }
    ObjectData* object = map->object(id);
    if (object == nullptr) {
        setMapError(kMapErrorUnknownObject, "no object with id " + std::to_string(id));
    }
    return object;
}

SymbolData* symbolOf(MapDatabase& map, OVwSymbolId id)
{
    SymbolData* symbol = map.symbol(id);
    if (symbol == nullptr) {
        setMapError(kMapErrorUnknownSymbol, "no symbol with id " + std::to_string(id));
    }
    return symbol;
}

// The symbol a symbol service is called for: null, with the failure set,
// when the call is refused, the handle is not the open map's or the symbol
// is unknown.
SymbolData* symbolForCall(const char* operation, MapHandle* handle, OVwSymbolId id)
{
    if (!callBegins(operation)) {
        return nullptr;
    }
    MapDatabase* map = mapOf(handle);
    return map != nullptr ? symbolOf(*map, id) : nullptr;
}

const FieldData* fieldOf(const ObjectData& object, OVwFieldId id)
{
    for (const FieldData& field : object.fields) {
        if (field.id == id) {
            return &field;
        }
    }
    return nullptr;
}

bool fieldMatches(const ObjectData& object, const FieldBinding& binding)
{
    const FieldData* field = fieldOf(object, binding.field_id);
    if (field == nullptr || field->type != binding.field_val->type) {
        return false;
    }
    switch (field->type) {
    case OVw_BOOLEAN_FIELD: return field->boolean == (binding.field_val->un.boolean_val != 0);
    case OVw_STRING_FIELD:
        return binding.field_val->un.string_val != nullptr &&
               field->text == binding.field_val->un.string_val;
    default: return field->integer == binding.field_val->un.int_val;
    }
}

// Checks a selection before it is used; false with the failure left.
bool selectionIsValid(const FieldBindList* selection)
{
    if (selection == nullptr) {
        return true;
    }
    if (selection->count < 0 || (selection->count > 0 && selection->fields == nullptr)) {
        setMapError(kMapErrorBadArgument, "the selection's binding list is malformed");
        return false;
    }
    const FieldRegistry& registry = fieldRegistry();
    for (std::int32_t i = 0; i < selection->count; ++i) {
        const FieldBinding& binding = selection->fields[i];
        std::string where = "selection binding " + std::to_string(i);
        if (binding.field_id == 0 || binding.field_id > registry.names.size()) {
            setMapError(kMapErrorUnknownField,
                        where + ": no field with id " + std::to_string(binding.field_id));
            return false;
        }
        if (binding.field_val == nullptr) {
            setMapError(kMapErrorBadArgument, where + " has no value");
            return false;
        }
        if (binding.field_val->is_list != 0) {
            setMapError(kMapErrorBadArgument, where + " is a list; only single values can be matched");
            return false;
        }
        int type = binding.field_val->type;
        if (type != OVw_BOOLEAN_FIELD && type != OVw_STRING_FIELD && type != OVw_INTEGER_FIELD) {
            setMapError(kMapErrorBadArgument, where + " has unknown type code " + std::to_string(type));
            return false;
        }
    }
    return true;
}

}  // namespace

// ---- opening and closing maps ----

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
    auto& handles = issuedHandles();
    handles.push_back(MapHandle{handles.size() + 1});
    map->handle = &handles.back();
    openMap() = std::move(map);
    writeStateFile();
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

void closeMap()
{
    openMap().reset();
}

MapHandle* openMapHandle()
{
    const auto& map = openMap();
    return map ? map->handle : nullptr;
}

bool loadStartupMap()
{
    std::string path = setting("SIMPLATFORM_MAP", "");
    if (path.empty()) {
        return false;
    }
    std::string error;
    if (!openMapFile(path, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::fflush(stderr);
        std::exit(2);
    }
    return true;
}

SubmapInfo* submapInfoByName(const std::string& name, std::string& error)
{
    auto& map = openMap();
    if (!map) {
        error = "no map is open";
        return nullptr;
    }
    for (const SubmapData& submap : map->submaps) {
        if (submap.name == name) {
            auto record = std::make_shared<SubmapInfoRecord>();
            record->name = submap.name;
            record->info.submap_id = submap.id;
            record->info.name = &record->name[0];
            return &handOver(record)->info;
        }
    }
    error = "no submap named \"" + name + "\"";
    return nullptr;
}

SymbolInfo* symbolInfoById(OVwSymbolId symbol, std::string& error)
{
    auto& map = openMap();
    if (!map) {
        error = "no map is open";
        return nullptr;
    }
    const SymbolData* found = map->symbol(symbol);
    if (found == nullptr) {
        error = "no symbol with id " + std::to_string(symbol);
        return nullptr;
    }
    return handOverSymbolInfo(*found);
}

uint64_t submapCreateAcknowledgements(OVwSymbolId symbol)
{
    const auto& map = openMap();
    if (!map) {
        return 0;
    }
    auto found = map->acknowledgements.find(symbol);
    return found == map->acknowledgements.end() ? 0 : found->second;
}

std::string mapStateJson()
{
    const auto& map = openMap();
    return map ? stateText(*map) : std::string();
}

void failNextMapCalls(const std::string& operation, int count, const std::string& text)
{
    bool known = false;
    for (const char* service : kMapServices) {
        known = known || operation == service;
    }
    if (!known) {
        throw std::invalid_argument("not a map service: " + operation);
    }
    if (count > 0) {
        injectedFailures()[operation] =
            InjectedFailure{count, text.empty() ? "injected failure of " + operation : text};
    } else {
        injectedFailures().erase(operation);
    }
}

}  // namespace simplatform

// ---- the map services ----

using namespace simplatform;

MapHandle* OVwGetMapInfo(void)
{
    if (!callBegins("OVwGetMapInfo")) {
        return nullptr;
    }
    MapHandle* handle = openMapHandle();
    if (handle == nullptr) {
        setMapError(kMapErrorNoMap, "no map is open");
    }
    return handle;
}

// Objects that match every binding of the selection (all objects for an
// empty or null selection), in the map file's order. A binding matches an
// object that has the field with a value of the same type and the same value.
ObjectList* OVwListObjectsOnMap(MapHandle* handle, FieldBindList* selection)
{
    if (!callBegins("OVwListObjectsOnMap")) {
        return nullptr;
    }
    MapDatabase* map = mapOf(handle);
    if (map == nullptr || !selectionIsValid(selection)) {
        return nullptr;
    }
    auto record = std::make_shared<ObjectListRecord>();
    for (const ObjectData& object : map->objects) {
        bool matches = true;
        for (std::int32_t i = 0; matches && selection != nullptr && i < selection->count; ++i) {
            matches = fieldMatches(object, selection->fields[i]);
        }
        if (matches) {
            ObjectInfo info{};
            info.object_id = object.id;
            info.num_symbols = static_cast<std::int32_t>(object.symbols.size());
            record->objects.push_back(info);
        }
    }
    record->list.count = static_cast<std::int32_t>(record->objects.size());
    record->list.objects = record->objects.empty() ? nullptr : record->objects.data();
    return &handOver(record)->list;
}

OVwFieldId OVwDbFieldNameToFieldId(const char* fieldName)
{
    if (!callBegins("OVwDbFieldNameToFieldId")) {
        return 0;
    }
    if (fieldName == nullptr) {
        setMapError(kMapErrorBadArgument, "no field name given");
        return 0;
    }
    const FieldRegistry& registry = fieldRegistry();
    auto found = registry.ids.find(fieldName);
    if (found == registry.ids.end()) {
        setMapError(kMapErrorUnknownField, std::string("no field named \"") + fieldName + "\"");
        return 0;
    }
    return found->second;
}

FieldValue* OVwDbGetFieldValue(OVwObjectId objectId, OVwFieldId fieldId)
{
    if (!callBegins("OVwDbGetFieldValue")) {
        return nullptr;
    }
    const ObjectData* object = objectOf(objectId);
    if (object == nullptr) {
        return nullptr;
    }
    const FieldRegistry& registry = fieldRegistry();
    if (fieldId == 0 || fieldId > registry.names.size()) {
        setMapError(kMapErrorUnknownField, "no field with id " + std::to_string(fieldId));
        return nullptr;
    }
    const FieldData* field = fieldOf(*object, fieldId);
    if (field == nullptr) {
        setMapError(kMapErrorNoValue, "object " + std::to_string(objectId) + " has no value for field \"" +
                                          registry.names[fieldId - 1] + "\"");
        return nullptr;
    }
    auto record = std::make_shared<FieldValueRecord>();
    record->value.is_list = 0;
    record->value.type = field->type;
    switch (field->type) {
    case OVw_BOOLEAN_FIELD: record->value.un.boolean_val = field->boolean ? 1 : 0; break;
    case OVw_STRING_FIELD:
        record->text = field->text;
        record->value.un.string_val = &record->text[0];
        break;
    default: record->value.un.int_val = field->integer; break;
    }
    return &handOver(record)->value;
}

// Null when the object has no host name at all; an empty host name is "".
char* OVwDbObjectIdToHostname(OVwObjectId objectId)
{
    if (!callBegins("OVwDbObjectIdToHostname")) {
        return nullptr;
    }
    const ObjectData* object = objectOf(objectId);
    if (object == nullptr) {
        return nullptr;
    }
    if (!object->hostname) {
        setMapError(kMapErrorNoValue, "object " + std::to_string(objectId) + " has no host name");
        return nullptr;
    }
    auto record = std::make_shared<std::string>(*object->hostname);
    return &(*handOver(record))[0];
}

SymbolList* OVwGetSymbolsByObject(MapHandle* handle, OVwObjectId objectId)
{
    if (!callBegins("OVwGetSymbolsByObject")) {
        return nullptr;
    }
    MapDatabase* map = mapOf(handle);
    if (map == nullptr) {
        return nullptr;
    }
    const ObjectData* object = map->object(objectId);
    if (object == nullptr) {
        setMapError(kMapErrorUnknownObject, "no object with id " + std::to_string(objectId));
        return nullptr;
    }
    if (object->symbols.empty()) {
        setMapError(kMapErrorNoSymbols, "object " + std::to_string(objectId) + " has no symbols");
        return nullptr;
    }
    auto record = std::make_shared<SymbolListRecord>();
    record->labels.resize(object->symbols.size());
    record->symbols.resize(object->symbols.size());
    for (std::size_t i = 0; i < object->symbols.size(); ++i) {
        record->labels[i] = object->symbols[i].label;
        record->symbols[i] = SymbolInfo{};
        record->symbols[i].symbol_id = object->symbols[i].id;
        record->symbols[i].label = &record->labels[i][0];
    }
    record->list.count = static_cast<std::int32_t>(record->symbols.size());
    record->list.symbols = record->symbols.data();
    return &handOver(record)->list;
}

int OVwSetSymbolStatusSource(MapHandle* handle, OVwSymbolId symbolId, int source)
{
    SymbolData* symbol = symbolForCall("OVwSetSymbolStatusSource", handle, symbolId);
    if (symbol == nullptr) {
        return 0;
    }
    if (symbol->statusSource != source) {
        symbol->statusSource = source;
        writeStateFile();
    }
    return 1;
}

int OVwSetSymbolBehavior(MapHandle* handle, OVwSymbolId symbolId, int behavior, const char* name,
                         const char* altName, void* reserved)
{
    (void)reserved;
    SymbolData* symbol = symbolForCall("OVwSetSymbolBehavior", handle, symbolId);
    if (symbol == nullptr) {
        return 0;
    }
    Behavior recorded;
    recorded.code = behavior;
    if (name != nullptr) {
        recorded.name = name;
    }
    if (altName != nullptr) {
        recorded.altName = altName;
    }
    bool same = symbol->behavior && symbol->behavior->code == recorded.code &&
                symbol->behavior->name == recorded.name &&
                symbol->behavior->altName == recorded.altName;
    if (!same) {
        symbol->behavior = std::move(recorded);
        writeStateFile();
    }
    return 1;
}

SymbolInfo* OVwGetSymbolInfo(MapHandle* handle, OVwSymbolId symbolId)
{
    SymbolData* symbol = symbolForCall("OVwGetSymbolInfo", handle, symbolId);
    return symbol != nullptr ? handOverSymbolInfo(*symbol) : nullptr;
}

// A status or label that is set to the value it already has is no change:
// no console line, no count, no state file write.
int OVwSetStatusOnSymbol(MapHandle* handle, OVwSymbolId symbolId, int status)
{
    SymbolData* symbol = symbolForCall("OVwSetStatusOnSymbol", handle, symbolId);
    if (symbol == nullptr) {
        return 0;
    }
    if (symbol->status != status) {
        symbol->status = status;
        symbolChanged(*symbol);
    }
    return 1;
}

int OVwSetSymbolLabel(MapHandle* handle, OVwSymbolId symbolId, const char* label)
{
    SymbolData* symbol = symbolForCall("OVwSetSymbolLabel", handle, symbolId);
    if (symbol == nullptr) {
        return 0;
    }
    if (label == nullptr) {
        setMapError(kMapErrorBadArgument, "no label given");
        return 0;
    }
    if (symbol->label != label) {
        symbol->label = label;
        symbolChanged(*symbol);
    }
    return 1;
}

// The program answers a request for a submap under a symbol; submap 0 means
// that none was created.
int OVwAckUserSubmapCreate(MapHandle* handle, OVwSubmapId submap, OVwSymbolId symbolId)
{
    if (!callBegins("OVwAckUserSubmapCreate")) {
        return 0;
    }
    MapDatabase* map = mapOf(handle);
    SymbolData* symbol = map != nullptr ? symbolOf(*map, symbolId) : nullptr;
    if (symbol == nullptr) {
        return 0;
    }
    if (submap != 0 && map->submapIndex.count(submap) == 0) {
        setMapError(kMapErrorBadArgument, "no submap with id " + std::to_string(submap));
        return 0;
    }
    map->acknowledgements[symbolId]++;
    return 1;
}
