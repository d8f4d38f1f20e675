// The platform's counters and the one table that names them: kCounters
// gives each counter its key in the stats document (the control port's
// stats reply, the HTTP port's /api/v1/stats), its family in /metrics, and
// for an SNMPv3 message the security model drops, the outcome it counts
// and the usmStats counter a Report names for it (RFC 3414). A counter the
// system cannot tell is left out of both, not shown as 0. kValues names the
// few values the stats document shows that are not counts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
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
    uint64_t stateWriteErrors = 0;   // failed writes, flushes and renames of the state file
    uint64_t reportsSuppressed = 0;  // Reports not made: over the rate limit
    // Datagrams the kernel dropped from the trap socket's full queue: known
    // where the system tells (Linux), from the first trap socket on.
    uint64_t kernelDrops = 0;
    bool kernelDropsKnown = false;
    // The trap socket's receive buffer, asked for and granted (in the units
    // asked: os/socket.h), known once a trap socket was made.
    uint64_t receiveBufferRequestedBytes = 0;
    uint64_t receiveBufferBytes = 0;
    bool receiveBufferKnown = false;
};

inline Stats& stats()
{
    static Stats counters;
    return counters;
}

// What the user-based security model (snmp/usm.h) makes of one SNMPv3
// message: delivered, malformed, or dropped for one of the reasons RFC 3414
// counts.
enum class UsmOutcome : uint8_t {
    Deliver,
    Malformed,
    UnknownUser,
    UnknownEngineId,
    WrongDigest,
    DecryptionError,
    NotInTimeWindow,
    UnsupportedSecLevel,
};
constexpr size_t kUsmOutcomes = static_cast<size_t>(UsmOutcome::UnsupportedSecLevel) + 1;  // the last

struct Counter {
    uint64_t Stats::*member;
    const char* key;     // in the stats document
    const char* metric;  // the /metrics family, ending in _total
    const char* help;    // its HELP line
    // The SNMPv3 outcome counted here, and the arc N of its usmStats
    // counter 1.3.6.1.6.3.15.1.1.N.0 (0: the outcome has none).
    std::optional<UsmOutcome> outcome = std::nullopt;
    uint32_t usmStatsArc = 0;
    // True while the value is known; null: always known.
    bool Stats::*known = nullptr;
};

// In the order of the stats document and /metrics.
inline constexpr Counter kCounters[] = {
    {&Stats::datagrams, "datagrams", "simplatform_datagrams_total", "Datagrams received on the trap port."},
    {&Stats::kernelDrops, "kernelDrops", "simplatform_kernel_drops_total",
     "Datagrams the kernel dropped from the trap socket's full queue.", std::nullopt, 0, &Stats::kernelDropsKnown},
    {&Stats::delivered, "delivered", "simplatform_delivered_total", "Traps and informs handed to the program.",
     UsmOutcome::Deliver},
    {&Stats::informsAnswered, "informsAnswered", "simplatform_informs_answered_total",
     "Informs answered with a Response-PDU."},
    {&Stats::malformed, "malformed", "simplatform_malformed_total",
     "Datagrams dropped: malformed, or of another version or PDU type.", UsmOutcome::Malformed},
    {&Stats::mapChanges, "mapChanges", "simplatform_map_changes_total", "Changes of a symbol's status or label."},
    {&Stats::usmUnknownUsers, "usmUnknownUsers", "simplatform_usm_unknown_users_total",
     "SNMPv3 messages dropped: unknown user.", UsmOutcome::UnknownUser, 3},
    {&Stats::usmUnknownEngineIDs, "usmUnknownEngineIDs", "simplatform_usm_unknown_engine_ids_total",
     "SNMPv3 messages dropped: unknown engine ID.", UsmOutcome::UnknownEngineId, 4},
    {&Stats::usmWrongDigests, "usmWrongDigests", "simplatform_usm_wrong_digests_total",
     "SNMPv3 messages dropped: wrong digest.", UsmOutcome::WrongDigest, 5},
    {&Stats::usmDecryptionErrors, "usmDecryptionErrors", "simplatform_usm_decryption_errors_total",
     "SNMPv3 messages dropped: decryption failed.", UsmOutcome::DecryptionError, 6},
    {&Stats::usmNotInTimeWindows, "usmNotInTimeWindows", "simplatform_usm_not_in_time_windows_total",
     "SNMPv3 messages dropped: outside the time window.", UsmOutcome::NotInTimeWindow, 2},
    {&Stats::usmUnsupportedSecLevels, "usmUnsupportedSecLevels",
     "simplatform_usm_unsupported_security_levels_total", "SNMPv3 messages dropped: unsupported security level.",
     UsmOutcome::UnsupportedSecLevel, 1},
    {&Stats::reportsSent, "reportsSent", "simplatform_reports_sent_total", "SNMPv3 Reports sent back."},
    {&Stats::stateWriteErrors, "stateWriteErrors", "simplatform_state_write_errors_total",
     "Failed writes, flushes and renames of the state file and its journal."},
    {&Stats::reportsSuppressed, "reportsSuppressed", "simplatform_reports_suppressed_total",
     "SNMPv3 Reports not sent: over the rate limit."},
};
constexpr size_t kCounterCount = std::size(kCounters);

// Values that are not counts: in the stats document after the counters,
// while known; not in /metrics.
struct StatsValue {
    uint64_t Stats::*member;
    const char* key;
    bool Stats::*known;
};

inline constexpr StatsValue kValues[] = {
    {&Stats::receiveBufferRequestedBytes, "receiveBufferRequestedBytes", &Stats::receiveBufferKnown},
    {&Stats::receiveBufferBytes, "receiveBufferBytes", &Stats::receiveBufferKnown},
};

namespace detail {

// The row of each outcome, found once at compile time so that counting a
// message is an index and an increment.
struct OutcomeRows {
    size_t row[kUsmOutcomes];
};

constexpr OutcomeRows outcomeRows()
{
    OutcomeRows rows{};
    for (size_t o = 0; o < kUsmOutcomes; ++o) {
        rows.row[o] = kCounterCount;
        for (size_t i = 0; i < kCounterCount; ++i) {
            if (kCounters[i].outcome && static_cast<size_t>(*kCounters[i].outcome) == o) {
                rows.row[o] = rows.row[o] == kCounterCount ? i : kCounterCount + 1;
            }
        }
    }
    return rows;
}

inline constexpr OutcomeRows kOutcomeRows = outcomeRows();

constexpr bool everyOutcomeHasOneRow()
{
    for (size_t o = 0; o < kUsmOutcomes; ++o) {
        if (kOutcomeRows.row[o] >= kCounterCount) {
            return false;
        }
    }
    return true;
}

static_assert(everyOutcomeHasOneRow(), "every outcome needs exactly one counter");

}  // namespace detail

// The row that counts an outcome. (The security model counts the messages
// it drops; a delivered one is counted where it is handed to the program,
// as the SNMPv1 and SNMPv2c ones are.)
inline const Counter& counterOf(UsmOutcome outcome)
{
    return kCounters[detail::kOutcomeRows.row[static_cast<size_t>(outcome)]];
}

inline uint64_t& counterValue(const Counter& counter)
{
    return stats().*counter.member;
}

inline bool counterKnown(const Counter& counter)
{
    return counter.known == nullptr || stats().*counter.known;
}

// The counters and then the values as one line of JSON with the tables'
// keys, in their order; those not known are left out.
std::string statsJson();

// Which counters grew lately, seen by looking at them now and then: a look
// compares each with its value at the last look, so counting costs nothing
// more. A counter that went down (set back by a test) did not grow.
class CounterGrowth {
public:
    using Clock = std::chrono::steady_clock;

    void look(Clock::time_point now);
    // Whether the counter of kCounters[row] was seen growing in the window
    // that ends at now.
    bool grewWithin(size_t row, Clock::duration window, Clock::time_point now) const;

private:
    uint64_t last_[kCounterCount] = {};  // counters start at 0
    std::optional<Clock::time_point> grewAt_[kCounterCount];
};

}  // namespace simplatform
