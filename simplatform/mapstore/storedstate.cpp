// The stored state read from its JSON: the snapshot and the journals'
// records, each checked for the form the store writes.
#include "storedstate.h"

#include "../mapdb/jsontext.h"

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

// Reads the members of one stored value; the first fault stops it and is
// kept with the path of the value it concerns.
class StateReader {
public:
    explicit StateReader(std::string& error)
        : error_(error)
    {
    }

    bool fail(const std::string& where, const char* what)
    {
        error_ = where + ": " + what;
        return false;
    }
    const Json* member(const Json& object, const char* key, const std::string& where)
    {
        auto found = object.find(key);
        if (found == object.end()) {
            fail(where, (std::string("has no ") + key).c_str());
            return nullptr;
        }
        return &*found;
    }
    bool number(const Json& value, const std::string& where, std::int64_t low, std::int64_t high,
                std::int64_t& out)
    {
        if (value.is_number_unsigned()) {
            std::uint64_t wide = value.get<std::uint64_t>();
            if (wide > static_cast<std::uint64_t>(high)) {
                return fail(where, "out of range");
            }
            out = static_cast<std::int64_t>(wide);
        } else if (value.is_number_integer()) {
            out = value.get<std::int64_t>();
        } else {
            return fail(where, "must be a whole number");
        }
        return out >= low && out <= high ? true : fail(where, "out of range");
    }
    bool int32(const Json& value, const std::string& where, int& out)
    {
        std::int64_t wide = 0;
        if (!number(value, where, INT32_MIN, INT32_MAX, wide)) {
            return false;
        }
        out = static_cast<int>(wide);
        return true;
    }
    bool optionalText(const Json& value, const std::string& where, std::optional<std::string>& out)
    {
        if (value.is_null()) {
            out.reset();
            return true;
        }
        if (!value.is_string()) {
            return fail(where, "must be a string or null");
        }
        out = value.get<std::string>();
        return true;
    }
    bool behavior(const Json& value, const std::string& where, std::optional<Behavior>& out);
    bool symbol(const Json& value, const std::string& where, SymbolData& out);
    bool symbols(const Json& list, const std::string& where, StoredState& state);
    bool boots(const Json& object, StoredState& state);

private:
    std::string& error_;
};

bool StateReader::behavior(const Json& value, const std::string& where, std::optional<Behavior>& out)
{
    if (value.is_null()) {
        out.reset();
        return true;
    }
    if (!value.is_object()) {
        return fail(where, "must be an object or null");
    }
    Behavior read;
    const Json* code = member(value, "code", where);
    const Json* name = code != nullptr ? member(value, "name", where) : nullptr;
    const Json* altName = name != nullptr ? member(value, "altName", where) : nullptr;
    if (altName == nullptr || !int32(*code, where + ".code", read.code) ||
        !optionalText(*name, where + ".name", read.name) ||
        !optionalText(*altName, where + ".altName", read.altName)) {
        return false;
    }
    out = std::move(read);
    return true;
}

bool StateReader::symbol(const Json& value, const std::string& where, SymbolData& out)
{
    if (!value.is_object()) {
        return fail(where, "must be an object");
    }
    const char* const keys[] = {"id", "label", "status", "statusSource", "behavior", "changedAt"};
    const Json* found[6] = {};
    for (size_t i = 0; i < 6; ++i) {
        found[i] = member(value, keys[i], where);
        if (found[i] == nullptr) {
            return false;
        }
    }
    std::int64_t id = 0;
    if (!number(*found[0], where + ".id", 1, 0xFFFFFFFF, id)) {
        return false;
    }
    out.id = static_cast<OVwSymbolId>(id);
    if (!found[1]->is_string()) {
        return fail(where + ".label", "must be a string");
    }
    out.label = found[1]->get<std::string>();
    if (!int32(*found[2], where + ".status", out.status)) {
        return false;
    }
    int source = 0;
    if (found[3]->is_null()) {
        out.statusSource.reset();
    } else if (int32(*found[3], where + ".statusSource", source)) {
        out.statusSource = source;
    } else {
        return false;
    }
    if (!behavior(*found[4], where + ".behavior", out.behavior)) {
        return false;
    }
    std::int64_t seconds = 0;
    if (found[5]->is_null()) {
        out.changedAt.reset();
    } else if (found[5]->is_string() && parseUtcTime(found[5]->get_ref<const std::string&>(), seconds)) {
        out.changedAt = seconds;
    } else {
        return fail(where + ".changedAt", "must be a time (2025-01-02T14:02:03Z) or null");
    }
    return true;
}

bool StateReader::symbols(const Json& list, const std::string& where, StoredState& state)
{
    if (!list.is_array()) {
        return fail(where, "must be an array");
    }
    for (size_t i = 0; i < list.size(); ++i) {
        SymbolData symbol;
        if (!this->symbol(list[i], where + "[" + std::to_string(i) + "]", symbol)) {
            return false;
        }
        OVwSymbolId id = symbol.id;
        state.symbols[id] = std::move(symbol);
    }
    return true;
}

bool StateReader::boots(const Json& object, StoredState& state)
{
    auto found = object.find("engineBoots");
    if (found == object.end()) {
        return true;
    }
    std::int64_t boots = 0;
    if (!number(*found, "engineBoots", 0, 2147483647, boots)) {
        return false;
    }
    state.engineBoots = static_cast<std::uint32_t>(boots);
    return true;
}

bool parseState(std::string_view text, Json& document, std::string& error)
{
    std::string copy(text);
    return parseBoundedJson(copy, kStateJsonLimits, document, error);
}

}  // namespace

bool readSnapshot(const std::string& text, StoredState& state, std::string& error)
{
    state = StoredState{};
    Json document;
    if (!parseBoundedJson(text, kStateJsonLimits, document, error)) {
        return false;
    }
    StateReader reader(error);
    if (!document.is_object()) {
        return reader.fail("the state", "must be a JSON object");
    }
    const Json* name = reader.member(document, "name", "the state");
    const Json* journal = name != nullptr ? reader.member(document, "journal", "the state") : nullptr;
    const Json* objects = journal != nullptr ? reader.member(document, "objects", "the state") : nullptr;
    std::int64_t generation = 0;
    if (objects == nullptr || !reader.number(*journal, "journal", 1, INT64_MAX, generation) ||
        !reader.boots(document, state)) {
        return false;
    }
    if (!name->is_string()) {
        return reader.fail("name", "must be a string");
    }
    if (!objects->is_array()) {
        return reader.fail("objects", "must be an array");
    }
    state.map = name->get<std::string>();
    state.generation = static_cast<std::uint64_t>(generation);
    for (size_t i = 0; i < objects->size(); ++i) {
        std::string where = "objects[" + std::to_string(i) + "]";
        const Json& object = (*objects)[i];
        const Json* symbols = object.is_object() ? reader.member(object, "symbols", where) : nullptr;
        if (symbols == nullptr) {
            return object.is_object() ? false : reader.fail(where, "must be an object");
        }
        if (!reader.symbols(*symbols, where + ".symbols", state)) {
            return false;
        }
    }
    return true;
}

bool readJournalHeader(std::string_view json, std::string& map, std::uint64_t& generation, std::string& error)
{
    Json document;
    if (!parseState(json, document, error)) {
        return false;
    }
    StateReader reader(error);
    const Json* name = document.is_object() ? reader.member(document, "map", "the first record") : nullptr;
    const Json* journal = name != nullptr ? reader.member(document, "journal", "the first record") : nullptr;
    std::int64_t number = 0;
    if (journal == nullptr) {
        return document.is_object() ? false : reader.fail("the first record", "must be a JSON object");
    }
    if (!name->is_string()) {
        return reader.fail("the first record's map", "must be a string");
    }
    if (!reader.number(*journal, "the first record's journal", 1, INT64_MAX, number)) {
        return false;
    }
    map = name->get<std::string>();
    generation = static_cast<std::uint64_t>(number);
    return true;
}

bool applyJournalRecord(std::string_view json, StoredState& state, std::string& error)
{
    Json document;
    if (!parseState(json, document, error)) {
        return false;
    }
    StateReader reader(error);
    if (!document.is_object()) {
        return reader.fail("a record", "must be a JSON object");
    }
    auto symbols = document.find("symbols");
    if (symbols != document.end() && !reader.symbols(*symbols, "symbols", state)) {
        return false;
    }
    return reader.boots(document, state);
}

std::size_t restoreSymbols(MapDatabase& map, const StoredState& state)
{
    std::size_t restored = 0;
    for (ObjectData& object : map.objects) {
        for (SymbolData& symbol : object.symbols) {
            auto stored = state.symbols.find(symbol.id);
            if (stored != state.symbols.end()) {
                keepSymbolState(symbol, stored->second);
                ++restored;
            }
        }
    }
    return restored;
}

}  // namespace simplatform
