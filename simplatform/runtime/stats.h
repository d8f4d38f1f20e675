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
    // SNMPv3 messages dropped by the user-based security model, by reason,
    // and the Reports sent back for them.
    uint64_t usmUnknownUsers = 0;
    uint64_t usmUnknownEngineIDs = 0;
    uint64_t usmWrongDigests = 0;
    uint64_t usmDecryptionErrors = 0;
    uint64_t usmNotInTimeWindows = 0;
    uint64_t usmUnsupportedSecLevels = 0;
    uint64_t reportsSent = 0;
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
