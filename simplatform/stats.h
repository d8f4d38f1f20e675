// The counters shown by the control port's stats command.
#pragma once

#include <cstdint>
#include <string>

namespace simplatform {

struct Stats {
    uint64_t datagrams = 0;        // received on the trap port
    uint64_t delivered = 0;        // traps and informs handed to the program
    uint64_t informsAnswered = 0;  // Response-PDUs sent
    uint64_t malformed = 0;        // dropped: malformed, other version or PDU type
    uint64_t mapChanges = 0;       // status or label changes
};

inline Stats& stats()
{
    static Stats counters;
    return counters;
}

// The counters as one line of JSON with exactly these keys: the control
// port's stats reply and the HTTP port's /api/v1/stats.
std::string statsJson();

}  // namespace simplatform
