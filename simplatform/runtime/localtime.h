// Local time rules fixed when the process starts.
#pragma once

namespace simplatform {

// The program reads local time for every debug log record. With TZ unset the
// C library looks at the system's zone file again on every conversion; this
// sets an unset TZ to that same file, so its rules are read once. Called
// before main. A change of the system's zone is seen after a restart. The C
// runtime on Windows reads its rules once anyway: nothing to do there.
#ifdef _WIN32
inline void fixLocalTimeRules() { }
#else
void fixLocalTimeRules();
#endif

}  // namespace simplatform
