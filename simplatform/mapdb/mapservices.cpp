// The map services of the map library over the open map, the library's last
// failure (OVwError, OVwErrorMsg) and the failures tests inject.
//
// Ownership of returned records: every list, description, value and text
// that a map service returns is a copy built for that call. The platform
// keeps it (handover.h) and releases it at the end of the turn, when the
// handler that received it has returned, so the program reads it during its
// handler and never frees it; later changes to the map do not alter a record
// already handed out.
#include "mapservices.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "../runtime/handover.h"
#include "mapchanges.h"
#include "mapdb.h"

namespace simplatform {
namespace {

struct MapError {
    int code = 0;
    std::string text;
};

MapError& lastError()
{
    static MapError* error = new MapError;  // the program may exit from a handler
    return *error;
}

struct InjectedFailure {
    int count = 0;
    std::string text;
};

// Looked up by the operation's name as it stands (std::less<>): no string
// is made for the look-up every map call begins with.
std::map<std::string, InjectedFailure, std::less<>>& injectedFailures()
{
    static std::map<std::string, InjectedFailure, std::less<>> failures;
    return failures;
}

const char* const kMapServices[] = {
    "OVwGetMapInfo",           "OVwListObjectsOnMap",   "OVwDbFieldNameToFieldId",  "OVwDbGetFieldValue",
    "OVwDbObjectIdToHostname", "OVwGetSymbolsByObject", "OVwSetSymbolStatusSource", "OVwSetSymbolBehavior",
    "OVwGetSymbolInfo",        "OVwSetStatusOnSymbol",  "OVwSetSymbolLabel",        "OVwAckUserSubmapCreate",
};

// True (with the failure left for OVwError) when a test asked this call to fail.
bool injectedFailure(const char* operation)
{
    auto& failures = injectedFailures();
    if (failures.empty()) {
        return false;  // the usual case: no search, no key made
    }
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
    // Asked for on every trap: pooled.
    SymbolInfoRecord* record = handOverPooled<SymbolInfoRecord>();
    record->label = symbol.label;
    record->info = SymbolInfo{};
    record->info.symbol_id = symbol.id;
    record->info.label = &record->label[0];
    return &record->info;
}

// ---- argument checks shared by the services ----

MapDatabase* mapOf(MapHandle* handle)
{
    MapDatabase* map = openMap();
    if (!map) {
        setMapError(kMapErrorNoMap, "no map is open");
        return nullptr;
    }
    if (handle == nullptr || handle != map->handle) {
        setMapError(kMapErrorNoMap, "the map handle is not the open map's");
        return nullptr;
    }
    return map;
}

// The object of id on the open map; any map will do for the object database.
ObjectData* objectOf(OVwObjectId id)
{
    MapDatabase* map = openMap();
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
    case OVw_BOOLEAN_FIELD:
        return field->boolean == (binding.field_val->un.boolean_val != 0);
    case OVw_STRING_FIELD:
        return binding.field_val->un.string_val != nullptr && field->text == binding.field_val->un.string_val;
    default:
        return field->integer == binding.field_val->un.int_val;
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
            setMapError(kMapErrorUnknownField, where + ": no field with id " + std::to_string(binding.field_id));
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

void setMapError(int code, const std::string& text)
{
    lastError() = MapError{code, text};
}

void clearMapError()
{
    lastError() = MapError{};
}

SubmapInfo* submapInfoByName(const std::string& name, std::string& error)
{
    MapDatabase* map = openMap();
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
    MapDatabase* map = openMap();
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

bool failNextMapCalls(const std::string& operation, int count, const std::string& text, std::string& error)
{
    bool known = false;
    for (const char* service : kMapServices) {
        known = known || operation == service;
    }
    if (!known) {
        error = "not a map service: " + operation;
        return false;
    }
    if (count > 0) {
        injectedFailures()[operation] = InjectedFailure{count,
                                                        text.empty() ? "injected failure of " + operation : text};
    } else {
        injectedFailures().erase(operation);
    }
    return true;
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
    case OVw_BOOLEAN_FIELD:
        record->value.un.boolean_val = field->boolean ? 1 : 0;
        break;
    case OVw_STRING_FIELD:
        record->text = field->text;
        record->value.un.string_val = &record->text[0];
        break;
    default:
        record->value.un.int_val = field->integer;
        break;
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
        symbolChanging(*symbol);
        symbol->statusSource = source;
        symbolSettingsChanged(*symbol);
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
                symbol->behavior->name == recorded.name && symbol->behavior->altName == recorded.altName;
    if (!same) {
        symbolChanging(*symbol);
        symbol->behavior = std::move(recorded);
        symbolSettingsChanged(*symbol);
    }
    return 1;
}

SymbolInfo* OVwGetSymbolInfo(MapHandle* handle, OVwSymbolId symbolId)
{
    SymbolData* symbol = symbolForCall("OVwGetSymbolInfo", handle, symbolId);
    return symbol != nullptr ? handOverSymbolInfo(*symbol) : nullptr;
}

// A status or label that is set to the value it already has is no change:
// no console line, no count, nothing stored.
int OVwSetStatusOnSymbol(MapHandle* handle, OVwSymbolId symbolId, int status)
{
    SymbolData* symbol = symbolForCall("OVwSetStatusOnSymbol", handle, symbolId);
    if (symbol == nullptr) {
        return 0;
    }
    if (symbol->status != status) {
        symbolChanging(*symbol);
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
        symbolChanging(*symbol);
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

int OVwError(void)
{
    return lastError().code;
}

const char* OVwErrorMsg(int error)
{
    const MapError& last = lastError();
    if (error == 0) {
        return "no error";
    }
    if (error == last.code && !last.text.empty()) {
        return last.text.c_str();
    }
    static char generic[64];
    std::snprintf(generic, sizeof generic, "map library error %d", error);
    return generic;
}
