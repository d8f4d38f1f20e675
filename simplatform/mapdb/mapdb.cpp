// The map database: the open map, its handles and the field registry.
#include "mapdb.h"

#include <deque>

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

void installMap(std::unique_ptr<MapDatabase> map)
{
    auto& handles = issuedHandles();
    handles.push_back(MapHandle{handles.size() + 1});
    map->handle = &handles.back();
    openMapSlot() = std::move(map);
}

MapDatabase* openMap()
{
    return openMapSlot().get();
}

void closeMap()
{
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
