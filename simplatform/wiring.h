// The platform put together: the start-up map, the start and end of the map
// session (_OVwInit, OVwDone) and the life of the control and HTTP ports.
#pragma once

namespace simplatform {

// Loads the map setting's file (Setting::Map) when it is set and not empty. A bad map file ends
// the process at once: "<file>: <fault>" on standard error, exit status 2.
// True when a map was opened, false when none is named. Runs before main.
bool loadStartupMap();

// Ends the process when the state setting names something that exists and
// is not a regular file: "simplatform: state file <path>: <fault>" on
// standard error, exit status 2. Runs before main.
void checkStateFile();

// Opens the map's store at the state setting's path (Setting::State), once,
// when it is set: the open map takes its stored state, and from then on
// the store keeps the map's changes, flushes each turn that delivered an
// inform before its Response goes out, keeps the SNMPv3 engine's boots, and
// writes what waits at exit. Runs at _OVwInit, after main has begun.
void openMapStore();

}  // namespace simplatform
