// The map database: the open map, its handles and the field registry.
#include "mapdb.h"

#include <deque>

#include "mapchanges.h"

namespace simplatform {
namespace {

std::unique_ptr<MapDatabase>& openMapSlot()
{
    static std::unique_ptr<MapDatabase> map;
    return map;
}

std::deque<MapHandle>& issuedHandles()
{
    static std::deque<MapHandle> handles;
    return handles;
}

}  // namespace

FieldRegistry& fieldRegistry()
{
    static FieldRegistry registry;
    return registry;
}

bool installMap(std::unique_ptr<MapDatabase> map)
{
    // What the turn changed on the open map is stored before it goes.
    mapClosing();
    MapDatabase* open = openMap();
    bool same = open != nullptr &&
                (open->name == map->name || (!map->source.empty() && open->source == map->source));
    if (same) {
        for (ObjectData& object : map->objects) {
            for (SymbolData& symbol : object.symbols) {
                if (const SymbolData* kept = open->symbol(symbol.id)) {
                    keepSymbolState(symbol, *kept);
                }
            }
        }
        map->handle = open->handle;
        map->acknowledgements = std::move(open->acknowledgements);
    } else {
        auto& handles = issuedHandles();
        handles.push_back(MapHandle{handles.size() + 1});
        map->handle = &handles.back();
    }
    openMapSlot() = std::move(map);
    return same;
}

void keepSymbolState(SymbolData& symbol, const SymbolData& state)
{
    symbol.label = state.label;
    symbol.status = state.status;
    symbol.statusSource = state.statusSource;
    symbol.behavior = state.behavior;
    symbol.changedAt = state.changedAt;
}

MapDatabase* openMap()
{
    return openMapSlot().get();
}

void closeMap()
{
    mapClosing();
    openMapSlot().reset();
}

MapHandle* openMapHandle()
{
    const MapDatabase* map = openMap();
    return map != nullptr ? map->handle : nullptr;
}

std::uint64_t submapCreateAcknowledgements(OVwSymbolId symbol)
{
    const MapDatabase* map = openMap();
    if (map == nullptr) {
        return 0;
    }
    auto found = map->acknowledgements.find(symbol);
    return found == map->acknowledgements.end() ? 0 : found->second;
}

}  // namespace simplatform
