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

}  // namespace simplatform
