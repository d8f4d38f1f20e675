// The map's store read back from arbitrary files: a snapshot (first byte
// 0) or a journal (first byte 1), and what reading them gives the map.
//
// A small map is open. Checked besides the sanitizers' findings:
// - a journal's good records lie within the text, in order, and end where
//   its good part ends; reading that good part again gives the same
//   records and no torn end;
// - whatever a snapshot or record gives, the map's state stays one line of
//   valid JSON once the stored values are given to its symbols.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "../simplatform/mapdb/mapdb.h"
#include "../simplatform/mapdb/mapfile.h"
#include "../simplatform/mapdb/mapview.h"
#include "../simplatform/mapstore/journal.h"
#include "../simplatform/mapstore/storedstate.h"
#include "fuzzcommon.h"

namespace {

const char kMap[] = R"({
  "name": "Default",
  "submaps": [ { "id": 1, "name": "Root" } ],
  "objects": [
    { "id": 100, "hostname": "ups", "symbols": [ { "id": 1000, "label": "ups", "submap": 1 } ] },
    { "id": 101, "symbols": [ { "id": 1001, "submap": 1 } ] }
  ]
})";

void checkJournal(const std::string& text, simplatform::StoredState& state)
{
    simplatform::JournalText journal;
    std::string error;
    if (!simplatform::readJournalText(text, journal, error)) {
        FUZZ_CHECK(!error.empty(), "a refused journal without a reason");
        return;
    }
    FUZZ_CHECK(journal.goodBytes <= text.size(), "good part past the end");
    const char* at = text.data();
    for (std::string_view record : journal.records) {
        FUZZ_CHECK(record.data() >= at && record.data() + record.size() <= text.data() + journal.goodBytes,
                   "a record outside the good part, or out of order");
        at = record.data() + record.size();
        simplatform::applyJournalRecord(record, state, error);
    }
    simplatform::JournalText again;
    FUZZ_CHECK(simplatform::readJournalText(text.substr(0, journal.goodBytes), again, error) && !again.tornEnd &&
                   again.records.size() == journal.records.size(),
               "the good part does not read back alone");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string error;
    FUZZ_CHECK(simplatform::openMapText(kMap, "map.json", error), "%s", error.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    simplatform::StoredState state;
    std::string error;
    if (data[0] == 0) {
        simplatform::readSnapshot(text, state, error);
    } else {
        checkJournal(text, state);
    }
    simplatform::restoreSymbols(*simplatform::openMap(), state);
    std::string json = simplatform::mapStateJson();
    FUZZ_CHECK(json.find('\n') == std::string::npos && nlohmann::json::accept(json),
               "the restored state is not one line of JSON");
    // The next input starts from the map file's values (the same map
    // opened again would keep them).
    simplatform::closeMap();
    FUZZ_CHECK(simplatform::openMapText(kMap, "map.json", error), "%s", error.c_str());
    return 0;
}
