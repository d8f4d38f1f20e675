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
    for (size_t i = 0; i < n; ++i)
        d |= static_cast<uint8_t>(a[i] ^ b[i]);
    return d == 0;
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
    for (User& u : users) {
        OwnUser own;
        const std::vector<uint8_t>& engine = u.engineId.empty() ? engineId_ : u.engineId;
        if (u.auth != Auth::None) {
            own.keys.auth = localize(u.auth, u.authKu, engine.data(), engine.size());
        }
        if (u.priv != Priv::None) {
            own.keys.priv = privacyKey(u.auth, u.priv, u.privKu, engine.data(), engine.size());
        }
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

Security::Keys* Security::keysFor(size_t userIndex, const Header& h, uint64_t now, bool& budgetSpent)
{
    OwnUser& own = users_[userIndex];
    // A user without authentication has no keys and no time window to keep.
    if (own.user.auth == Auth::None || !own.user.engineId.empty() || same(h.engineId, engineId_)) {
        return &own.keys;
    }
    std::string id(reinterpret_cast<const char*>(h.engineId.p), h.engineId.left());
    id.append(reinterpret_cast<const char*>(&userIndex), sizeof userIndex);
    auto found = index_.find(id);
    if (found != index_.end()) {
        cache_.splice(cache_.begin(), cache_, found->second);
        return &found->second->keys;
    }
    const User& u = own.user;
    uint32_t cost = 1 + (u.priv != Priv::None ? 1 : 0);
    if (extendsAsPassphrase(u.auth, u.priv)) {
        cost += kPassphraseCost;
    }
    if (now != budgetSecond_) {
        budgetSecond_ = now;
        budgetUsed_ = 0;
    }
    if (budgetUsed_ + cost > kLocalisationBudget) {
        budgetSpent = true;
        return nullptr;
    }
    budgetUsed_ += cost;
    ++localisations_;
    if (cache_.size() == kMaxCachedPairs) {
        index_.erase(cache_.back().id);
        cache_.pop_back();
    }
    Pair pair;
    pair.id = id;
    if (u.auth != Auth::None) {
        pair.keys.auth = localize(u.auth, u.authKu, h.engineId.p, h.engineId.left());
    }
    if (u.priv != Priv::None) {
        pair.keys.priv = privacyKey(u.auth, u.priv, u.privKu, h.engineId.p, h.engineId.left());
    }
    cache_.push_front(std::move(pair));
    index_[id] = cache_.begin();
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
    for (size_t i = 0; i < kSaltLength; ++i)
        salt[i] = static_cast<uint8_t>(v >> (8 * (7 - i)));
}

// A Counter32 wraps: the Report carries the count's low 32 bits.
void Security::report(const Header& h, uint32_t arc, uint64_t count, int32_t requestId, const Keys* keys,
                      size_t userIndex, uint64_t now, std::vector<uint8_t>& reply)
{
    ber::Message& m = reportMessage_;
    m.clear();
    m.requestId = requestId;
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
    snmpv3::Outgoing o;
    o.msgId = h.msgId;
    o.engineId = engineId_.data();
    o.engineIdLength = engineId_.size();
    o.boots = boots_;
    o.time = engineTime(now);
    o.user = h.user.p;
    o.userLength = h.user.left();
    if (keys != nullptr) {
        const User& u = users_[userIndex].user;
        o.flags = snmpv3::kFlagAuth;
        o.auth = u.auth;
        o.authKey = &keys->auth;
    }
    if (!snmpv3::encodeMessage(o, scoped_, reply)) {
        reply.clear();
    }
}

bool Security::respond(const Header& h, const ber::Message& m, const snmpv3::Context& context, const Keys& keys,
                       size_t userIndex, uint64_t now, std::vector<uint8_t>& reply)
{
    const User& u = users_[userIndex].user;
    scoped_.clear();
    if (!snmpv3::appendScopedAnswer(m, ber::kTagResponse, m.bytes.data() + context.engineOffset,
                                    context.engineLength, m.bytes.data() + context.nameOffset, context.nameLength,
                                    scoped_)) {
        return false;
    }
    uint8_t salt[kSaltLength];
    makeSalt(salt);
    snmpv3::Outgoing o;
    o.msgId = h.msgId;
    o.flags = h.flags & (snmpv3::kFlagAuth | snmpv3::kFlagPriv);
    o.engineId = engineId_.data();
    o.engineIdLength = engineId_.size();
    o.boots = boots_;
    o.time = engineTime(now);
    o.user = h.user.p;
    o.userLength = h.user.left();
    o.auth = u.auth;
    o.priv = u.priv;
    o.authKey = &keys.auth;
    o.privKey = &keys.priv;
    o.salt = salt;
    if (!snmpv3::encodeMessage(o, scoped_, reply)) {
        reply.clear();
        return false;
    }
    return true;
}

Outcome Security::receive(const uint8_t* data, size_t size, uint64_t now, ber::Message& out,
                          std::vector<uint8_t>& reply)
{
    reply.clear();
    out.clear();
    Header h;
    bool reportable = false;
    int32_t requestId = 0;
    // A drop is counted before its Report is made: the Report carries the
    // count that stats shows.
    auto drop = [&](Outcome why, const Keys* keys = nullptr, size_t userIndex = 0) {
        const Counter& counter = counterOf(why);
        uint64_t count = ++counterValue(counter);
        if (reportable && enabled() && counter.usmStatsArc != 0) {
            report(h, counter.usmStatsArc, count, requestId, keys, userIndex, now, reply);
        }
        out.clear();
        return why;
    };
    if (snmpv3::decodeHeader(data, size, h) != nullptr) {
        return drop(Outcome::Malformed);
    }
    reportable = (h.flags & snmpv3::kFlagReportable) != 0;
    bool encrypted = (h.flags & snmpv3::kFlagPriv) != 0;
    snmpv3::Context context;
    // A plaintext ScopedPDU is read first: a Report answers with its request id.
    bool plainDecoded = !encrypted &&
                        snmpv3::decodeScopedPdu(h.data.p, h.data.left(), false, out, context) == nullptr;
    if (!encrypted && !plainDecoded) {
        return drop(Outcome::Malformed);
    }
    requestId = plainDecoded ? out.requestId : 0;
    if (!enabled()) {
        return drop(Outcome::UnknownUser);
    }
    bool ours = same(h.engineId, engineId_);
    // The platform is the authoritative engine of what expects an answer.
    if (h.engineId.empty() || (reportable && !ours)) {
        return drop(Outcome::UnknownEngineId);
    }
    size_t userIndex = users_.size();
    for (size_t i = 0; i < users_.size(); ++i) {
        const User& u = users_[i].user;
        if (!same(h.user, u.name))
            continue;
        if (!u.engineId.empty() && same(h.engineId, u.engineId)) {
            userIndex = i;
            break;
        }
        if (u.engineId.empty() && userIndex == users_.size())
            userIndex = i;
    }
    if (userIndex == users_.size()) {
        return drop(Outcome::UnknownUser);
    }
    const User& u = users_[userIndex].user;
    if (levelOf(h.flags) != levelOf(u)) {
        return drop(Outcome::UnsupportedSecLevel);
    }
    bool budgetSpent = false;
    Keys* keys = keysFor(userIndex, h, now, budgetSpent);
    if (keys == nullptr) {
        return drop(Outcome::UnknownEngineId);
    }
    if (h.flags & snmpv3::kFlagAuth) {
        size_t n = digestLength(u.auth);
        if (h.authParams.left() != n) {
            return drop(Outcome::WrongDigest);
        }
        size_t at = static_cast<size_t>(h.authParams.p - data);
        scratch_.assign(data, data + size);
        std::memset(scratch_.data() + at, 0, n);
        uint8_t mac[kMaxDigest];
        if (!digest(u.auth, keys->auth, scratch_.data(), scratch_.size(), mac) ||
            !sameDigest(mac, h.authParams.p, n)) {
            return drop(Outcome::WrongDigest);
        }
        if (!inTimeWindow(*keys, h, ours, now)) {
            return drop(Outcome::NotInTimeWindow, keys, userIndex);
        }
    }
    if (encrypted) {
        if (h.privParams.left() != kSaltLength) {
            return drop(Outcome::DecryptionError);
        }
        scratch_.assign(h.data.p, h.data.end);
        bool padded = privBlockLength(u.priv) > 1;
        if (!decrypt(u.priv, keys->priv, h.boots, h.time, h.privParams.p, scratch_.data(), scratch_.size()) ||
            snmpv3::decodeScopedPdu(scratch_.data(), scratch_.size(), padded, out, context) != nullptr) {
            return drop(Outcome::DecryptionError);
        }
    }
    bool inform = out.pduType == SNMP_KIND_INFORM;
    if (!(inform && ours) && out.pduType != SNMP_KIND_TRAP_V2) {
        // Other PDUs, and an inform that names another authoritative engine.
        return drop(Outcome::Malformed);
    }
    if (inform && !respond(h, out, context, *keys, userIndex, now, reply)) {
        return drop(Outcome::Malformed);
    }
    out.communityOffset = static_cast<uint32_t>(out.bytes.size());
    out.communityLength = static_cast<uint32_t>(h.user.left());
    out.bytes.insert(out.bytes.end(), h.user.p, h.user.end);
    return Outcome::Deliver;
}

}  // namespace usm
}  // namespace simplatform
