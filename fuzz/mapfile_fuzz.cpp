// The map-file loader over arbitrary text, and the program's discovery and
// status display over every map it accepts.
//
// A small map is open before each input. Checked besides the sanitizers'
// findings:
// - a refused text leaves an error that names the file, and the open map and
//   its state exactly as they were;
// - an accepted map's state is one line of valid JSON, before and after the
//   program has run UPS discovery on it (debug log on) and shown a power
//   failure and its end on every UPS symbol it recorded.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "../app/debuglog.h"
#include "../map/upsmap.h"
#include "../platform/platform.h"
#include "../simplatform/mapdb/mapdb.h"
#include "../simplatform/mapdb/mapfile.h"
#include "../simplatform/mapdb/mapview.h"
#include "../simplatform/runtime/handover.h"
#include "fuzzcommon.h"

namespace {

const char kBaseMap[] = R"({
  "name": "Base",
  "submaps": [ { "id": 1, "name": "Root" } ],
  "objects": [
    { "id": 100, "hostname": "ups-base",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935" },
      "symbols": [ { "id": 1000, "label": "ups-base", "submap": 1 } ] }
  ]
})";

const char kName[] = "fuzz.json";

void openBaseMap()
{
    std::string error;
    FUZZ_CHECK(simplatform::openMapText(kBaseMap, "base.json", error), "%s", error.c_str());
}

bool isOneLineOfJson(const std::string& text)
{
    return text.find('\n') == std::string::npos && nlohmann::json::accept(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::makeDrive("mapfile");
    setenv("SIMPLATFORM_QUIET", "1", 1);
    unsetenv("SIMPLATFORM_STATE");
    debuglogenabled = 1;
    writeDebugLog("This message should appear in the DebugFile\n", 1);
    openBaseMap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    MapHandle* before = simplatform::openMapHandle();
    std::string state = simplatform::mapStateJson();

    std::string error;
    if (!simplatform::openMapText(text, kName, error)) {
        FUZZ_CHECK(error.rfind(std::string(kName) + ": ", 0) == 0 && error.size() > sizeof kName + 1,
                   "error without the file and a fault: \"%s\"", error.c_str());
        FUZZ_CHECK(simplatform::openMapHandle() == before && simplatform::mapStateJson() == state,
                   "a refused map changed the open map (%s)", error.c_str());
        return 0;
    }
    FUZZ_CHECK(isOneLineOfJson(simplatform::mapStateJson()), "state of an accepted map is not one line of JSON");

    // What the program does with a map: discovery from scratch, as at
    // start-up, then a condition and its end on each recorded symbol.
    writeDebugLog("got the map\n", 1);
    clearupstable();
    upssymbolcount = 0;
    char hostname[UPS_HOSTNAME_SIZE];
    checksubmapforbox(OVwGetMapInfo(), nullptr, hostname, sizeof hostname);
    for (const UpsSymbolEntry* entry = upstablewalk(nullptr); entry != nullptr; entry = upstablewalk(entry)) {
        showUpsEvent(entry, 5);
        showUpsEvent(entry, 9);
    }
    FUZZ_CHECK(isOneLineOfJson(simplatform::mapStateJson()), "state after the program's changes is not JSON");
    simplatform::endTurn();
    openBaseMap();
    return 0;
}
