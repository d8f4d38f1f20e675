// The user-based security model: users, keys, digests, time windows, and
// the Reports and Responses of the platform's engine.
#include "usm.h"

#include <cstring>

namespace simplatform {
namespace usm {

namespace {

using snmpv3::Header;

bool same(const ber::Cursor& c, const std::vector<uint8_t>& bytes)
{
    return c.left() == bytes.size() && std::memcmp(c.p, bytes.data(), bytes.size()) == 0;
}

bool same(const ber::Cursor& c, const std::string& text)
{
    return c.left() == text.size() && std::memcmp(c.p, text.data(), text.size()) == 0;
}

int levelOf(uint8_t flags)
{
    return (flags & snmpv3::kFlagPriv) ? 2 : (flags & snmpv3::kFlagAuth) ? 1 : 0;
}

int levelOf(const User& u)
{
    return u.priv != Priv::None ? 2 : u.auth != Auth::None ? 1 : 0;
}

// Compares without stopping at the first difference.
bool sameDigest(const uint8_t* a, const uint8_t* b, size_t n)
{
    uint8_t d = 0;
    for (size_t i = 0; i < n; ++i) {
        d |= static_cast<uint8_t>(a[i] ^ b[i]);
    }
    return d == 0;
}

// What localising a user's keys for one engine costs: a key each, and the
// pass phrase hashing of a privacy key extended that way.
uint32_t localisationCost(const User& u)
{
    uint32_t cost = 1 + (u.priv != Priv::None ? 1 : 0);
    return extendsAsPassphrase(u.auth, u.priv) ? cost + kPassphraseCost : cost;
}

void localiseKeys(const User& u, const ber::Cursor& engine, Key& auth, Key& priv)
{
    if (u.auth != Auth::None) {
        auth = localize(u.auth, u.authKu, engine.p, engine.left());
    }
    if (u.priv != Priv::None) {
        priv = privacyKey(u.auth, u.priv, u.privKu, engine.p, engine.left());
    }
}

}  // namespace

std::vector<uint8_t> engineIdFromHost(const std::string& host)
{
    std::vector<uint8_t> id = {0x80, 0x00, 0x00, 0x00, 0x05};
    std::string text = "kelvorov engine " + host;
    Key h = hash(Auth::Sha256, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    id.insert(id.end(), h.bytes, h.bytes + 12);
    return id;
}

void Security::configure(std::vector<User> users, std::vector<uint8_t> engineId, uint32_t boots, uint64_t now)
{
    engineId_ = std::move(engineId);
    boots_ = boots;
    start_ = now;
    users_.clear();
    cache_.clear();
    index_.clear();
    usersWithKeys_ = 0;
    nextToDerive_ = 0;
    budgetUsed_ = 0;
    reportsMade_ = 0;
    // No cryptography here: the keys come later (deriveNextKeys, keysFor).
    for (User& u : users) {
        OwnUser own;
        own.ready = u.auth == Auth::None;
        usersWithKeys_ += own.ready ? 1 : 0;
        own.user = std::move(u);
        users_.push_back(std::move(own));
    }
    nonce(reinterpret_cast<uint8_t*>(&salt_), sizeof salt_);
}

uint32_t Security::engineTime(uint64_t now) const
{
    uint64_t t = now > start_ ? now - start_ : 0;
    return t > kMaxBoots ? kMaxBoots : static_cast<uint32_t>(t);
}

bool Security::spend(uint32_t cost, uint64_t now)
{
    if (now != budgetSecond_) {
        budgetSecond_ = now;
        budgetUsed_ = 0;
    }
    if (budgetUsed_ + cost > kLocalisationBudget) {
        return false;
    }
    budgetUsed_ += cost;
    return true;
}

bool Security::prepareUser(OwnUser& own, bool charged, uint64_t now)
{
    User& u = own.user;
    if (charged) {
        uint32_t passphrases = keysDerived(u) ? 0 : (u.priv != Priv::None ? 2 : 1);
        if (!spend(passphrases * kPassphraseCost + localisationCost(u), now)) {
            return false;
        }
    }
    if (!deriveKeys(u)) {
        return false;
    }
    const std::vector<uint8_t>& engine = u.engineId.empty() ? engineId_ : u.engineId;
    localiseKeys(u, ber::Cursor{engine.data(), engine.data() + engine.size()}, own.keys.auth, own.keys.priv);
    own.ready = true;
    ++usersWithKeys_;
    return true;
}

bool Security::deriveNextKeys()
{
    auto skipReady = [this] {
        while (nextToDerive_ < users_.size() && users_[nextToDerive_].ready) {
            ++nextToDerive_;
        }
    };
    skipReady();
    if (nextToDerive_ < users_.size()) {
        // A user the library fails for stays without keys: its messages are
        // dropped as from an unknown engine.
        prepareUser(users_[nextToDerive_++], false, 0);
    }
    skipReady();
    return nextToDerive_ < users_.size();
}

Security::Keys* Security::keysFor(Incoming& in)
{
    OwnUser& own = users_[in.userIndex];
    const Header& h = in.h;
    // A user without authentication has no keys and no time window to keep.
    if (own.user.auth == Auth::None) {
        return &own.keys;
    }
    if (!own.ready && !prepareUser(own, true, in.now)) {
        return nullptr;
    }
    if (!own.user.engineId.empty() || in.ours) {
        return &own.keys;
    }
    pairId_.assign(reinterpret_cast<const char*>(h.engineId.p), h.engineId.left());
    pairId_.append(reinterpret_cast<const char*>(&in.userIndex), sizeof in.userIndex);
    auto found = index_.find(pairId_);
    if (found != index_.end()) {
        in.kept = true;
        in.pair = found->second;
        return &found->second->keys;
    }
    if (!spend(localisationCost(own.user), in.now)) {
        return nullptr;
    }
    ++localisations_;
    newcomer_ = Keys{};
    localiseKeys(own.user, h.engineId, newcomer_.auth, newcomer_.priv);
    in.newcomer = true;
    return &newcomer_;
}

Security::Keys* Security::keepPair(Incoming& in)
{
    if (in.kept) {
        cache_.splice(cache_.begin(), cache_, in.pair);
    }
    if (!in.newcomer) {
        return in.keys;
    }
    if (cache_.size() == kMaxCachedPairs) {
        index_.erase(cache_.back().id);
        cache_.pop_back();
    }
    cache_.push_front(Pair{pairId_, newcomer_});
    index_[pairId_] = cache_.begin();
    return &cache_.front().keys;
}

bool Security::inTimeWindow(Keys& keys, const Header& h, bool authoritative, uint64_t now)
{
    if (authoritative) {
        uint32_t ours = engineTime(now);
        uint32_t gap = h.time > ours ? h.time - ours : ours - h.time;
        return boots_ != kMaxBoots && h.boots == boots_ && gap <= kTimeWindow;
    }
    // The sender is authoritative: keep the latest boots and time it sent.
    TimeState& t = keys.time;
    if (h.boots == kMaxBoots) {
        return false;
    }
    if (t.known) {
        uint64_t elapsed = now > t.receivedAt ? now - t.receivedAt : 0;
        uint64_t expected = t.time + elapsed;  // the sender's time now, as last seen
        if (h.boots < t.boots || (h.boots == t.boots && h.time + uint64_t(kTimeWindow) < expected)) {
            return false;
        }
        if (h.boots == t.boots && h.time <= expected) {
            return true;
        }
    }
    t.known = true;
    t.boots = h.boots;
    t.time = h.time;
    t.receivedAt = now;
    return true;
}

void Security::makeSalt(uint8_t* salt)
{
    uint64_t v = ++salt_;
    for (size_t i = 0; i < kSaltLength; ++i) {
        salt[i] = static_cast<uint8_t>(v >> (8 * (7 - i)));
    }
}

// A Counter32 wraps: the Report carries the count's low 32 bits.
snmpv3::Outgoing Security::answerTo(const Incoming& in) const
{
    snmpv3::Outgoing o;
    o.msgId = in.h.msgId;
    o.engineId = engineId_.data();
    o.engineIdLength = engineId_.size();
    o.boots = boots_;
    o.time = engineTime(in.now);
    o.user = in.h.user.p;
    o.userLength = in.h.user.left();
    return o;
}

void Security::report(const Incoming& in, uint32_t arc, uint64_t count, const Keys* keys,
                      std::vector<uint8_t>& reply)
{
    ber::Message& m = reportMessage_;
    m.clear();
    m.requestId = in.requestId;
    static const uint32_t kUsmStats[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 0, 0};
    m.words.assign(std::begin(kUsmStats), std::end(kUsmStats));
    m.words[9] = arc;
    m.words.push_back(static_cast<uint32_t>(count));
    ber::Binding b;
    b.nameOffset = 0;
    b.nameLength = 11;
    b.type = SNMP_TYPE_COUNTER;
    b.valueOffset = 11;
    b.valueLength = 4;
    m.bindings.push_back(b);
    scoped_.clear();
    if (!snmpv3::appendScopedAnswer(m, ber::kTagReport, engineId_.data(), engineId_.size(), nullptr, 0, scoped_)) {
        return;
    }
    snmpv3::Outgoing o = answerTo(in);
    if (keys != nullptr) {
        const User& u = users_[in.userIndex].user;
        o.flags = snmpv3::kFlagAuth;
        o.auth = u.auth;
        o.authKey = &keys->auth;
    }
    if (!snmpv3::encodeMessage(o, scoped_, reply)) {
        reply.clear();
    }
}

bool Security::respond(const Incoming& in, const ber::Message& m, std::vector<uint8_t>& reply)
{
    const snmpv3::Context& context = in.context;
    const User& u = users_[in.userIndex].user;
    scoped_.clear();
    if (!snmpv3::appendScopedAnswer(m, ber::kTagResponse, m.bytes.data() + context.engineOffset,
                                    context.engineLength, m.bytes.data() + context.nameOffset, context.nameLength,
                                    scoped_)) {
        return false;
    }
    uint8_t salt[kSaltLength];
    makeSalt(salt);
    snmpv3::Outgoing o = answerTo(in);
    o.flags = in.h.flags & (snmpv3::kFlagAuth | snmpv3::kFlagPriv);
    o.auth = u.auth;
    o.priv = u.priv;
    o.authKey = &in.keys->auth;
    o.privKey = &in.keys->priv;
    o.salt = salt;
    if (!snmpv3::encodeMessage(o, scoped_, reply)) {
        reply.clear();
        return false;
    }
    return true;
}

// A drop is counted before its Report is made: the Report carries the count
// that stats shows.
void Security::drop(const Incoming& in, Outcome why, std::vector<uint8_t>& reply)
{
    const Counter& counter = counterOf(why);
    uint64_t count = ++counterValue(counter);
    if (!in.reportable || !enabled() || counter.usmStatsArc == 0) {
        return;
    }
    if (!reportAllowed(in.now)) {
        stats().reportsSuppressed++;
        return;
    }
    const Keys* keys = why == Outcome::NotInTimeWindow ? in.keys : nullptr;
    report(in, counter.usmStatsArc, count, keys, reply);
}

// Reports go to whatever source a datagram names, so they are a way to send
// traffic to a third party: a fixed number a second for all senders (one
// count per sender would itself be memory a flood could grow).
bool Security::reportAllowed(uint64_t now)
{
    if (now != reportSecond_) {
        reportSecond_ = now;
        reportsMade_ = 0;
    }
    if (reportsMade_ == kMaxReportsPerSecond) {
        return false;
    }
    ++reportsMade_;
    return true;
}

size_t Security::findUser(const Header& h) const
{
    size_t found = users_.size();
    for (size_t i = 0; i < users_.size(); ++i) {
        const User& u = users_[i].user;
        if (!same(h.user, u.name)) {
            continue;
        }
        if (!u.engineId.empty() && same(h.engineId, u.engineId)) {
            return i;
        }
        if (u.engineId.empty() && found == users_.size()) {
            found = i;
        }
    }
    return found;
}

// The digest, then the time window.
Outcome Security::authenticate(Incoming& in)
{
    const Header& h = in.h;
    const User& u = users_[in.userIndex].user;
    size_t n = digestLength(u.auth);
    if (h.authParams.left() != n) {
        return Outcome::WrongDigest;
    }
    size_t at = static_cast<size_t>(h.authParams.p - in.data);
    scratch_.assign(in.data, in.data + in.size);
    std::memset(scratch_.data() + at, 0, n);
    uint8_t mac[kMaxDigest];
    if (!digest(u.auth, in.keys->auth, scratch_.data(), scratch_.size(), mac) ||
        !sameDigest(mac, h.authParams.p, n)) {
        return Outcome::WrongDigest;
    }
    // The sender holds the key: only now is its pair kept, with its time.
    in.keys = keepPair(in);
    return inTimeWindow(*in.keys, h, in.ours, in.now) ? Outcome::Deliver : Outcome::NotInTimeWindow;
}

Outcome Security::decryptScopedPdu(Incoming& in, ber::Message& out)
{
    const Header& h = in.h;
    const User& u = users_[in.userIndex].user;
    if (h.privParams.left() != kSaltLength) {
        return Outcome::DecryptionError;
    }
    scratch_.assign(h.data.p, h.data.end);
    bool padded = privBlockLength(u.priv) > 1;
    if (!decrypt(u.priv, in.keys->priv, h.boots, h.time, h.privParams.p, scratch_.data(), scratch_.size()) ||
        snmpv3::decodeScopedPdu(scratch_.data(), scratch_.size(), padded, out, in.context) != nullptr) {
        return Outcome::DecryptionError;
    }
    return Outcome::Deliver;
}

// Everything the security model checks, in RFC 3414's order; Deliver when
// the message passes, with its ScopedPDU in out.
Outcome Security::admit(Incoming& in, ber::Message& out)
{
    Header& h = in.h;
    if (snmpv3::decodeHeader(in.data, in.size, h) != nullptr) {
        return Outcome::Malformed;
    }
    in.reportable = (h.flags & snmpv3::kFlagReportable) != 0;
    bool encrypted = (h.flags & snmpv3::kFlagPriv) != 0;
    if (!encrypted) {
        // Read first: a Report answers with its request id.
        if (snmpv3::decodeScopedPdu(h.data.p, h.data.left(), false, out, in.context) != nullptr) {
            return Outcome::Malformed;
        }
        in.requestId = out.requestId;
    }
    if (!enabled()) {
        return Outcome::UnknownUser;
    }
    in.ours = same(h.engineId, engineId_);
    // The platform is the authoritative engine of what expects an answer.
    if (h.engineId.empty() || (in.reportable && !in.ours)) {
        return Outcome::UnknownEngineId;
    }
    in.userIndex = findUser(h);
    if (in.userIndex == users_.size()) {
        return Outcome::UnknownUser;
    }
    if (levelOf(h.flags) != levelOf(users_[in.userIndex].user)) {
        return Outcome::UnsupportedSecLevel;
    }
    in.keys = keysFor(in);
    if (in.keys == nullptr) {
        return Outcome::UnknownEngineId;
    }
    Outcome outcome = Outcome::Deliver;
    if (h.flags & snmpv3::kFlagAuth) {
        outcome = authenticate(in);
    }
    if (outcome == Outcome::Deliver && encrypted) {
        outcome = decryptScopedPdu(in, out);
    }
    return outcome;
}

// An admitted message's PDU: a trap, or an inform to the platform's engine,
// which is answered first. The user name becomes the community.
Outcome Security::handOver(const Incoming& in, ber::Message& out, std::vector<uint8_t>& reply)
{
    bool inform = out.pduType == SNMP_KIND_INFORM;
    if (!(inform && in.ours) && out.pduType != SNMP_KIND_TRAP_V2) {
        // Other PDUs, and an inform that names another authoritative engine.
        return Outcome::Malformed;
    }
    if (inform && !respond(in, out, reply)) {
        return Outcome::Malformed;
    }
    out.communityOffset = static_cast<uint32_t>(out.bytes.size());
    out.communityLength = static_cast<uint32_t>(in.h.user.left());
    out.bytes.insert(out.bytes.end(), in.h.user.p, in.h.user.end);
    return Outcome::Deliver;
}

Outcome Security::receive(const uint8_t* data, size_t size, uint64_t now, ber::Message& out,
                          std::vector<uint8_t>& reply)
{
    reply.clear();
    out.clear();
    Incoming in{data, size, now};
    Outcome outcome = admit(in, out);
    if (outcome == Outcome::Deliver) {
        outcome = handOver(in, out, reply);
    }
    if (outcome != Outcome::Deliver) {
        drop(in, outcome, reply);
        out.clear();
    }
    return outcome;
}

}  // namespace usm
}  // namespace simplatform
