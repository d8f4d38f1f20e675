// The map database: the one open network map (submaps, objects with their
// fields and symbols) and the field names known to the platform.
//
// Map handles: each opened map gets a handle of its own that is never freed,
// so a handle kept from an earlier map is recognised as stale and refused,
// never followed into freed memory.
//
// Everything here runs on the message loop's thread. All state lives in
// function-local statics, because the start-up map is loaded from a static
// initializer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../../platform/ovw.h"

// The handle of one opened map; its address is what the program holds.
struct MapHandle {
    std::uint64_t serial;
};

namespace simplatform {

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
    // When the status or label last changed: seconds since 1970, UTC.
    std::optional<std::int64_t> changedAt;
    // The store's mark: the record it was last listed for (statestore.h).
    std::uint64_t keptIn = 0;
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

struct MapDatabase {
    std::string name;
    std::string source;  // the file it was read from; empty for text
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

// Field ids belong to the platform, not to one map: a name keeps its id for
// the life of the process, so ids never change meaning between maps.
struct FieldRegistry {
    std::unordered_map<std::string, OVwFieldId> ids;
    std::vector<std::string> names;  // names[id - 1]
};
FieldRegistry& fieldRegistry();

// Makes map the open map, replacing any open one. A map of the open map's
// name, or read from its file, is the same map opened again: it keeps the
// open map's handle, so that a handle the program holds stays good, and
// each of its symbols that the open map has too keeps its state (label,
// status, status source, behaviour, time of change). Any other map gets a
// new handle. True when it was the same map.
bool installMap(std::unique_ptr<MapDatabase> map);
// Gives symbol the state of another record of it (label, status, status
// source, behaviour, time of change): the same map opened again, or its
// state read back from the store.
void keepSymbolState(SymbolData& symbol, const SymbolData& state);
// The open map, or null.
MapDatabase* openMap();
// Closes the open map, if any.
void closeMap();
// The open map's handle, or null when no map is open.
MapHandle* openMapHandle();

// How many times a submap creation under symbol has been acknowledged.
std::uint64_t submapCreateAcknowledgements(OVwSymbolId symbol);

}  // namespace simplatform
