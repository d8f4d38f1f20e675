// What the store holds, read back: the snapshot (the state document, with
// the journal it starts and the SNMPv3 engine's boots) and the journals'
// records replayed over it; and the open map given the stored values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "../mapdb/boundedjson.h"
#include "../mapdb/mapdb.h"

namespace simplatform {

struct StoredState {
    std::string map;                           // the map's name
    std::uint64_t generation = 0;              // the journal the snapshot starts
    std::optional<std::uint32_t> engineBoots;  // the SNMPv3 engine's last boots
    std::unordered_map<OVwSymbolId, SymbolData> symbols;
};

// A snapshot or a journal larger than this is refused unread. A map within
// the map file's limits, its labels and behaviours set by the program,
// stays well below it.
constexpr std::uint64_t kMaxStateFileBytes = std::uint64_t{64} * 1024 * 1024;
// The map file's limits, with room for the values the state adds to each
// symbol (statusName, statusSource, behavior, changedAt).
constexpr JsonLimits kStateJsonLimits = {4000000, 32, 1024};

// Reads a snapshot into state. False and the fault ("objects[2].symbols[0]
// .label: must be a string") when it is not a state document.
bool readSnapshot(const std::string& text, StoredState& state, std::string& error);
// The first record of a journal: {"map": name, "journal": generation}.
bool readJournalHeader(std::string_view json, std::string& map, std::uint64_t& generation, std::string& error);
// Replays one later record over state: {"symbols": [symbol state
// documents], "engineBoots": n}, both members optional. A record holds
// whole values, so replaying it again changes nothing.
bool applyJournalRecord(std::string_view json, StoredState& state, std::string& error);

// Gives each symbol of map that state holds its stored label, status,
// status source, behaviour and time of change; the others keep the map
// file's. The number of symbols restored.
std::size_t restoreSymbols(MapDatabase& map, const StoredState& state);

}  // namespace simplatform
