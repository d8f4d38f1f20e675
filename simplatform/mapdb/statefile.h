// The state file (Setting::State): the open map's state document,
// replaced whole, so a reader sees the old state or the new one, never a
// part of either. No link or device in the file's place is ever written
// through.
#pragma once

#include <string>

namespace simplatform {

// False, and why, when the state setting names something that exists and
// is not a regular file (a link, a device, a FIFO, a folder): the platform
// never writes the state there.
bool stateFileUsable(std::string& error);

// Writes the state file, when one is asked for and a map is open. A write
// that fails or is refused is said on standard error; the map is unchanged.
void writeStateFile();

}  // namespace simplatform
