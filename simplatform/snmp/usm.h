// The user-based security model of the trap receiver (RFC 3414) and the
// platform's own SNMP engine: which SNMPv3 messages are let through to the
// program, and the Reports and Responses sent back.
//
// - Users come from the users file (usmusers.h). Their pass phrases become
//   keys after configure(), not in it: deriveNextKeys() does one user at a
//   time, and a message that names a user still without keys has them
//   derived at once, within the budget below. A user with an engine ID has
//   its keys localised for that engine, any other user for the platform's.
// - A user without an engine ID is accepted from any engine: its keys for
//   a sender's engine are localised on first sight and held aside until
//   the message's digest proves them; only then is the (engine, user) pair
//   kept, with the sender's time state, among at most kMaxCachedPairs
//   pairs that have authenticated, the least recently authenticated
//   leaving first. A message with a wrong digest leaves nothing behind, so
//   a flood of them cannot push out a pair or its replay protection, and a
//   kept pair never needs new key work again.
// - New key work (a pass phrase hashed, a key localised) has a budget per
//   second (kLocalisationBudget; hashing a pass phrase costs
//   kPassphraseCost), so a flood of made-up engine IDs costs a bounded
//   share of the loop; a message that finds the budget spent is dropped as
//   from an unknown engine.
// - The platform is the authoritative engine of the informs it receives:
//   its engine ID, boots (set at start) and time (seconds since start). A
//   sender's engine is authoritative for its traps; the latest boots and time
//   seen from it are kept with its keys to refuse replays (RFC 3414 3.2.7).
// - A message is delivered only at exactly its user's level, with a good
//   digest, in the time window, and decrypted. Every other is dropped with
//   its outcome and counted in that outcome's counter (stats.h); a
//   reportable one (an inform, a discovery request) is then answered with a
//   Report that carries the counter as its usmStats counter: at authNoPriv
//   for notInTimeWindow, otherwise noAuthNoPriv. At most
//   kMaxReportsPerSecond Reports are made a second, whoever the senders;
//   the others are counted in reportsSuppressed. An inform's Response is
//   not a Report and is always sent.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "../runtime/stats.h"
#include "ber.h"
#include "snmpv3.h"
#include "usmusers.h"

namespace simplatform {
namespace usm {

constexpr size_t kMaxCachedPairs = 1024;
constexpr uint32_t kLocalisationBudget = 2048;  // per second
constexpr uint32_t kPassphraseCost = 256;       // one pass phrase to key, against 1 for a localisation
constexpr uint32_t kMaxReportsPerSecond = 200;
constexpr uint32_t kTimeWindow = 150;  // seconds
constexpr uint32_t kMaxBoots = 2147483647;

// Deliver: out holds the trap or inform, and an inform's Response is in
// reply. Any other outcome is counted in its counter of stats.h.
using Outcome = UsmOutcome;

// The engine ID the platform takes when none is set: RFC 3411's form with
// octets administratively given (format 5), from a hash of the host name.
std::vector<uint8_t> engineIdFromHost(const std::string& host);

class Security {
public:
    // Replaces users and engine; now is the monotonic clock in seconds.
    void configure(std::vector<User> users, std::vector<uint8_t> engineId, uint32_t boots, uint64_t now);
    bool enabled() const { return !users_.empty(); }
    const std::vector<uint8_t>& engineId() const { return engineId_; }
    uint32_t engineTime(uint64_t now) const;

    // Processes one SNMPv3 datagram received at now. Deliver fills out (the
    // PDU, version 3, the user name as community); any other outcome is
    // counted. reply is what to send back to the sender first, empty when
    // nothing is.
    Outcome receive(const uint8_t* data, size_t size, uint64_t now, ber::Message& out,
                    std::vector<uint8_t>& reply);

    // Derives the keys of the next user that has none yet, without the
    // budget (what the start used to do, a user at a time); false once no
    // user is left to derive.
    bool deriveNextKeys();
    // Users whose keys are derived and localised for their own engine.
    size_t usersWithKeys() const { return usersWithKeys_; }

    size_t cachedPairs() const { return cache_.size(); }
    uint64_t localisations() const { return localisations_; }

private:
    struct TimeState {
        bool known = false;
        uint32_t boots = 0;
        uint32_t time = 0;  // the sender's engine time at receivedAt
        uint64_t receivedAt = 0;
    };
    struct Keys {
        Key auth;
        Key priv;
        TimeState time;
    };
    struct Pair {
        std::string id;  // engine ID bytes and user index
        Keys keys;
    };
    struct OwnUser {
        User user;
        Keys keys;           // for its -e engine, or for the platform's engine
        bool ready = false;  // keys derived (or none needed)
    };

    // One message as it is judged.
    struct Incoming {
        const uint8_t* data;
        size_t size;
        uint64_t now;
        snmpv3::Header h{};
        snmpv3::Context context{};
        bool reportable = false;
        bool ours = false;      // it names the platform's engine
        int32_t requestId = 0;  // of a plaintext ScopedPDU, for its Report
        size_t userIndex = 0;
        Keys* keys = nullptr;
        // Where a pair's keys are: newcomer_, localised for this message, or
        // pair, kept (authentication makes it the most recent).
        bool newcomer = false;
        bool kept = false;
        std::list<Pair>::iterator pair{};
    };

    Outcome admit(Incoming& in, ber::Message& out);
    size_t findUser(const snmpv3::Header& h) const;
    Outcome authenticate(Incoming& in);
    Outcome decryptScopedPdu(Incoming& in, ber::Message& out);
    Outcome handOver(const Incoming& in, ber::Message& out, std::vector<uint8_t>& reply);
    void drop(const Incoming& in, Outcome why, std::vector<uint8_t>& reply);
    // The keys of the message's user for its engine; null when they are not
    // kept and this second's budget is spent.
    Keys* keysFor(Incoming& in);
    // Derives own's keys now, within this second's budget when charged.
    bool prepareUser(OwnUser& own, bool charged, uint64_t now);
    // Takes cost from this second's budget; false when it does not hold it.
    bool spend(uint32_t cost, uint64_t now);
    // Keeps the pair of a message whose digest is good; its keys then.
    Keys* keepPair(Incoming& in);
    // True when a Report may be made this second.
    bool reportAllowed(uint64_t now);
    bool inTimeWindow(Keys& keys, const snmpv3::Header& h, bool authoritative, uint64_t now);
    // The Report of usmStats counter arc at count, at authNoPriv with keys
    // (notInTimeWindow), otherwise at noAuthNoPriv.
    // An answer's header from the platform's engine to the message's user,
    // with its msgID: no flags, no keys.
    snmpv3::Outgoing answerTo(const Incoming& in) const;
    void report(const Incoming& in, uint32_t arc, uint64_t count, const Keys* keys, std::vector<uint8_t>& reply);
    // The Response to an inform, at its own level.
    bool respond(const Incoming& in, const ber::Message& m, std::vector<uint8_t>& reply);
    void makeSalt(uint8_t* salt);

    std::vector<OwnUser> users_;
    std::vector<uint8_t> engineId_;
    uint32_t boots_ = 1;
    uint64_t start_ = 0;
    std::list<Pair> cache_;  // pairs that authenticated, the latest first
    std::unordered_map<std::string, std::list<Pair>::iterator> index_;
    std::string pairId_;  // engine ID bytes and user index
    Keys newcomer_;       // held aside until the digest proves them
    size_t usersWithKeys_ = 0;
    size_t nextToDerive_ = 0;
    uint64_t localisations_ = 0;
    uint64_t budgetSecond_ = 0;
    uint32_t budgetUsed_ = 0;
    uint64_t reportSecond_ = 0;
    uint32_t reportsMade_ = 0;
    uint64_t salt_ = 0;
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> scoped_;
    ber::Message reportMessage_;
};

}  // namespace usm
}  // namespace simplatform
