// SNMPv3 security: the users file, key localisation, and the receiver's
// verdict on messages captured from net-snmp's snmptrap and snmpinform at
// every level and protocol pair (tests/data/usm/capture.py), on damaged
// copies of them, and on made-up engines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "simplatform/runtime/stats.h"
#include "simplatform/snmp/snmpv3.h"
#include "simplatform/snmp/usm.h"
#include "simplatform/snmp/usmusers.h"

namespace usm = simplatform::usm;
namespace snmpv3 = simplatform::snmpv3;
namespace ber = simplatform::ber;
using usm::Outcome;

namespace {

using Bytes = std::vector<uint8_t>;

std::string dataPath(const char* name)
{
    return std::string(KELVOROV_TEST_DATA) + "/usm/" + name;
}

Bytes fromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

struct Captured {
    std::string kind, user, level;
    Bytes data;
};

const std::vector<Captured>& captured()
{
    static const std::vector<Captured> all = [] {
        std::vector<Captured> list;
        std::ifstream in(dataPath("messages.txt"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream words(line);
            Captured c;
            std::string hex;
            words >> c.kind >> c.user >> c.level >> hex;
            c.data = fromHex(hex);
            list.push_back(c);
        }
        return list;
    }();
    return all;
}

const Captured& find(const std::string& kind, const std::string& user)
{
    for (const Captured& c : captured())
        if (c.kind == kind && c.user == user)
            return c;
    ADD_FAILURE() << "no captured " << kind << " of " << user;
    return captured().front();
}

const Bytes kEngine = fromHex("800000000574657374656e67");  // the listener's, in capture.py
constexpr uint32_t kBoots = 7;
constexpr uint64_t kStart = 100000;  // the clock at configure(); engine time 1000 at kNow
constexpr uint64_t kNow = kStart + 1000;

// The users of the captures, with keys derived once for the whole run.
const std::vector<usm::User>& capturedUsers()
{
    static const std::vector<usm::User> users = [] {
        std::vector<usm::User> list;
        std::string error;
        EXPECT_TRUE(usm::loadUsers(dataPath("users.conf"), list, error)) << error;
        return list;
    }();
    return users;
}

std::vector<usm::User> usersFrom(const std::string& text)
{
    std::vector<usm::User> users;
    std::string error;
    EXPECT_TRUE(usm::parseUsers(text, "test", users, error) && usm::deriveKeys(users, error)) << error;
    return users;
}

struct Receiver {
    usm::Security security;
    ber::Message out;
    Bytes reply;
    // With every user's keys derived first, as the program's loop does
    // after the start, unless the test is about that.
    explicit Receiver(std::vector<usm::User> users, const Bytes& engine = kEngine, bool derived = true)
    {
        security.configure(std::move(users), engine, kBoots, kStart);
        while (derived && security.deriveNextKeys()) { }
    }
    Outcome receive(const Bytes& d, uint64_t now = kNow)
    {
        return security.receive(d.data(), d.size(), now, out, reply);
    }
};

std::string community(const ber::Message& m)
{
    return std::string(m.bytes.begin() + m.communityOffset,
                       m.bytes.begin() + m.communityOffset + m.communityLength);
}

const usm::User& userNamed(const std::string& name)
{
    for (const usm::User& u : capturedUsers())
        if (u.name == name)
            return u;
    ADD_FAILURE() << name;
    return capturedUsers().front();
}

// Checks a reply as its sender would: the digest, then the ScopedPDU
// (decrypted with the keys of user at the platform's engine).
void openReply(const Bytes& reply, const usm::User& u, uint8_t level, ber::Message& pdu, snmpv3::Header& h)
{
    ASSERT_EQ(snmpv3::decodeHeader(reply.data(), reply.size(), h), nullptr);
    ASSERT_EQ(h.flags, level);
    ASSERT_TRUE(std::equal(h.engineId.p, h.engineId.end, kEngine.begin(), kEngine.end()));
    Bytes plain(h.data.p, h.data.end);
    if (level & snmpv3::kFlagAuth) {
        usm::Key key = usm::localize(u.auth, u.authKu, kEngine.data(), kEngine.size());
        Bytes zeroed = reply;
        std::memset(zeroed.data() + (h.authParams.p - reply.data()), 0, h.authParams.left());
        uint8_t mac[usm::kMaxDigest];
        ASSERT_TRUE(usm::digest(u.auth, key, zeroed.data(), zeroed.size(), mac));
        ASSERT_EQ(h.authParams.left(), usm::digestLength(u.auth));
        ASSERT_EQ(std::memcmp(mac, h.authParams.p, h.authParams.left()), 0) << "digest of the reply";
    }
    if (level & snmpv3::kFlagPriv) {
        usm::Key key = usm::privacyKey(u.auth, u.priv, u.privKu, kEngine.data(), kEngine.size());
        ASSERT_TRUE(usm::decrypt(u.priv, key, h.boots, h.time, h.privParams.p, plain.data(), plain.size()));
    }
    snmpv3::Context context;
    ASSERT_EQ(snmpv3::decodeScopedPdu(plain.data(), plain.size(), u.priv == usm::Priv::Des, pdu, context),
              nullptr);
}

// The stats document, key by key.
std::map<std::string, uint64_t> statsDocument()
{
    return nlohmann::json::parse(simplatform::statsJson()).get<std::map<std::string, uint64_t>>();
}

uint8_t levelFlags(const std::string& level)
{
    return level == "authPriv" ? 3 : level == "authNoPriv" ? 1 : 0;
}

// A captured message with the last bytes of its engine ID made n: to its
// user a made-up engine, and a wrong digest.
Bytes withEngine(const Bytes& message, uint32_t n)
{
    snmpv3::Header h;
    EXPECT_EQ(snmpv3::decodeHeader(message.data(), message.size(), h), nullptr);
    Bytes d = message;
    size_t end = static_cast<size_t>(h.engineId.end - message.data());
    for (size_t i = 0; i < 4; ++i)
        d[end - 1 - i] = static_cast<uint8_t>(n >> (8 * i));
    return d;
}

}  // namespace

// RFC 3414 A.3: "maplesyrup" localised for engine 00..02.
TEST(UsmKeys, PasswordToKeyAndLocalisationMatchTheRfc)
{
    const uint8_t pass[] = "maplesyrup";
    const Bytes engine = fromHex("000000000000000000000002");
    usm::Key md5 = usm::localize(usm::Auth::Md5, usm::passwordToKey(usm::Auth::Md5, pass, 10), engine.data(), 12);
    usm::Key sha = usm::localize(usm::Auth::Sha1, usm::passwordToKey(usm::Auth::Sha1, pass, 10), engine.data(),
                                 12);
    EXPECT_EQ(Bytes(md5.bytes, md5.bytes + md5.length), fromHex("526f5eed9fcce26f8964c2930787d82b"));
    EXPECT_EQ(Bytes(sha.bytes, sha.bytes + sha.length), fromHex("6695febc9288e36282235fc7151f128497b38f3f"));
}

// Every protocol pair and level, trap and inform: delivered with the user as
// community; an inform answered once at its own level with its bindings.
TEST(UsmReceive, CapturedMessagesOfEveryProtocolPairAreDelivered)
{
    Receiver r(capturedUsers());
    size_t traps = 0, informs = 0;
    for (const Captured& c : captured()) {
        if (c.kind == "probe")
            continue;
        SCOPED_TRACE(c.kind + " " + c.user);
        ASSERT_EQ(r.receive(c.data), Outcome::Deliver);
        EXPECT_EQ(r.out.version, 3);
        EXPECT_EQ(community(r.out), c.user);
        ASSERT_EQ(r.out.bindings.size(), 3u);
        const ber::Binding& name = r.out.bindings[2];
        EXPECT_EQ(std::string(r.out.bytes.begin() + name.valueOffset,
                              r.out.bytes.begin() + name.valueOffset + name.valueLength),
                  c.user);
        if (c.kind == "trap") {
            ++traps;
            EXPECT_EQ(r.out.pduType, SNMP_KIND_TRAP_V2);
            EXPECT_TRUE(r.reply.empty());
            continue;
        }
        ++informs;
        EXPECT_EQ(r.out.pduType, SNMP_KIND_INFORM);
        ber::Message response;
        snmpv3::Header h;
        openReply(r.reply, userNamed(c.user), levelFlags(c.level), response, h);
        snmpv3::Header request;
        ASSERT_EQ(snmpv3::decodeHeader(c.data.data(), c.data.size(), request), nullptr);
        EXPECT_EQ(h.msgId, request.msgId);
        EXPECT_EQ(response.pduType, ber::kTagResponse);
        EXPECT_EQ(response.requestId, r.out.requestId);
        EXPECT_EQ(response.bindings.size(), 3u);
    }
    EXPECT_EQ(traps, 43u);
    EXPECT_EQ(informs, 43u);
}

// One of each way a message fails, each with its own outcome, counted once
// in its own counter; a reportable one answered with a Report of the
// platform's engine.
TEST(UsmReceive, FailuresAreDroppedWithTheirOwnOutcome)
{
    const Captured& inform = find("inform", "sha-256-aes-256-c");
    const Captured& trap = find("trap", "md5-des");
    auto flip = [](Bytes d, size_t at) {
        d[at] ^= 0x01;
        return d;
    };
    auto renamed = [](Bytes d, const std::string& from, const std::string& to) {
        auto at = std::search(d.begin(), d.end(), from.begin(), from.end());
        std::copy(to.begin(), to.end(), at);
        return d;
    };
    snmpv3::Header h;
    ASSERT_EQ(snmpv3::decodeHeader(inform.data.data(), inform.data.size(), h), nullptr);
    size_t digestAt = h.authParams.p - inform.data.data();

    struct Case {
        const char* what;
        std::string users;
        Bytes data;
        uint64_t now;
        Outcome outcome;
        const char* counter;  // the key in the stats document that counts it
        uint8_t reportArc;    // 0: no reply
    } cases[] = {
        {"unknown user", "createUser md5-deX MD5 kelvorov-auth DES kelvorov-priv\n", trap.data, kNow,
         Outcome::UnknownUser, "usmUnknownUsers", 0},
        {"wrong pass phrase", "createUser md5-des MD5 kelvorov-wrong DES kelvorov-priv\n", trap.data, kNow,
         Outcome::WrongDigest, "usmWrongDigests", 0},
        {"wrong privacy pass phrase", "createUser md5-des MD5 kelvorov-auth DES kelvorov-wrong\n", trap.data, kNow,
         Outcome::DecryptionError, "usmDecryptionErrors", 0},
        {"below the user's level", "createUser sha-256-aes-256-c SHA-256 kelvorov-auth\n", inform.data, kNow,
         Outcome::UnsupportedSecLevel, "usmUnsupportedSecLevels", 1},
        {"tampered digest", "", flip(inform.data, digestAt), kNow, Outcome::WrongDigest, "usmWrongDigests", 5},
        {"tampered encrypted data", "", flip(inform.data, inform.data.size() - 1), kNow, Outcome::WrongDigest,
         "usmWrongDigests", 5},
        {"renamed user", "", renamed(inform.data, "sha-256-aes-256-c", "sha-256-aes-256-x"), kNow,
         Outcome::UnknownUser, "usmUnknownUsers", 3},
        {"inform out of the time window", "", inform.data, kNow + 151, Outcome::NotInTimeWindow,
         "usmNotInTimeWindows", 2},
        {"discovery request", "", find("probe", "-").data, kNow, Outcome::UnknownEngineId, "usmUnknownEngineIDs",
         4},
        {"cut short", "", Bytes(inform.data.begin(), inform.data.end() - 1), kNow, Outcome::Malformed, "malformed",
         0},
        {"ScopedPDU faulty after some bindings (found by fuzz_usm)", "",
         fromHex("30819b020103301102040a41cf8d020300ffe30401040201030421301f040c800000000574657374656e670201070202"
                 "03e804046e6f6e65040004003060041180001f88804773101e2ab3186b000000000400a64902046550f6520201000201"
                 "00303b300e06082b06010201010300430210923017060a2b0601060301010401000604092b0106018727000530100608"
                 "2b0601020101050004046e6f6e65"),
         kNow, Outcome::Malformed, "malformed", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Receiver r(c.users.empty() ? capturedUsers() : usersFrom(c.users));
        std::map<std::string, uint64_t> before = statsDocument();
        EXPECT_EQ(r.receive(c.data, c.now), c.outcome);
        EXPECT_TRUE(r.out.bindings.empty());
        for (const auto& [key, value] : statsDocument())
            EXPECT_EQ(value - before[key], key == c.counter ? 1u : 0u) << key;
        if (c.reportArc == 0) {
            EXPECT_TRUE(r.reply.empty());
            continue;
        }
        ber::Message report;
        snmpv3::Header rh;
        uint8_t level = c.outcome == Outcome::NotInTimeWindow ? 1 : 0;
        openReply(r.reply, userNamed("sha-256-aes-256-c"), level, report, rh);
        EXPECT_EQ(report.pduType, ber::kTagReport);
        ASSERT_EQ(report.bindings.size(), 1u);
        EXPECT_EQ(report.words[report.bindings[0].nameOffset + 9], c.reportArc);
        EXPECT_EQ(rh.boots, kBoots);
        EXPECT_EQ(rh.time, static_cast<uint32_t>(c.now - kStart));
    }
}

// One counter per outcome: a Report carries the count that stats shows,
// drops that were not answered included.
TEST(UsmReceive, ReportCarriesTheCountThatStatsShows)
{
    Receiver r(usersFrom("createUser someone-else\n"));
    EXPECT_EQ(r.receive(find("trap", "none").data), Outcome::UnknownUser);
    EXPECT_TRUE(r.reply.empty()) << "a trap is not answered";
    EXPECT_EQ(r.receive(find("inform", "none").data), Outcome::UnknownUser);
    ber::Message report;
    snmpv3::Header h;
    openReply(r.reply, userNamed("none"), 0, report, h);
    ASSERT_EQ(report.bindings.size(), 1u);
    EXPECT_EQ(report.words[report.bindings[0].valueOffset],
              static_cast<uint32_t>(simplatform::stats().usmUnknownUsers));
}

// A trap older than the window of the sender's latest one is a replay.
TEST(UsmReceive, ReplayedTrapIsOutsideTheTimeWindow)
{
    Receiver r(capturedUsers());
    const Captured& trap = find("trap", "sha-aes");
    EXPECT_EQ(r.receive(trap.data, kNow), Outcome::Deliver);
    EXPECT_EQ(r.receive(trap.data, kNow + 100), Outcome::Deliver);
    EXPECT_EQ(r.receive(trap.data, kNow + 151), Outcome::NotInTimeWindow);
}

// Made-up engine IDs: at most kMaxCachedPairs pairs, and localisations
// within the budget of each second (a key extended as a pass phrase again
// costs kPassphraseCost).
TEST(UsmReceive, KeysOfUnknownEnginesAreBoundedInNumberAndRate)
{
    std::vector<usm::User> users = usersFrom(
        "createUser flood SHA kelvorov-auth\ncreateUser slow SHA kelvorov-auth AES-256C kelvorov-priv\n");
    Receiver r(users);
    const Bytes& sample = find("trap", "sha").data;
    snmpv3::Header sampleHeader;
    ASSERT_EQ(snmpv3::decodeHeader(sample.data(), sample.size(), sampleHeader), nullptr);
    auto trapFrom = [&](const usm::User& u, uint32_t n) {
        Bytes engine = fromHex("8000000005");
        for (int shift = 24; shift >= 0; shift -= 8)
            engine.push_back(static_cast<uint8_t>(n >> shift));
        usm::Key authKey = usm::localize(u.auth, u.authKu, engine.data(), engine.size());
        usm::Key privKey = u.priv == usm::Priv::None
                               ? usm::Key{}
                               : usm::privacyKey(u.auth, u.priv, u.privKu, engine.data(), engine.size());
        const uint8_t salt[usm::kSaltLength] = {1, 2, 3, 4, 5, 6, 7, 8};
        snmpv3::Outgoing o;
        o.msgId = 1;
        o.flags = u.priv == usm::Priv::None ? 1 : 3;
        o.engineId = engine.data();
        o.engineIdLength = engine.size();
        o.boots = 1;
        o.time = 1;
        o.user = reinterpret_cast<const uint8_t*>(u.name.data());
        o.userLength = u.name.size();
        o.auth = u.auth;
        o.priv = u.priv;
        o.authKey = &authKey;
        o.privKey = &privKey;
        o.salt = salt;
        Bytes scoped(sampleHeader.data.p, sampleHeader.data.end), out;
        EXPECT_TRUE(snmpv3::encodeMessage(o, scoped, out));
        return out;
    };
    for (uint32_t n = 0; n < usm::kMaxCachedPairs + 100; ++n) {
        ASSERT_EQ(r.receive(trapFrom(users[0], n)), Outcome::Deliver) << n;
    }
    EXPECT_EQ(r.security.cachedPairs(), usm::kMaxCachedPairs);
    uint32_t cost = 2 + usm::kPassphraseCost;
    int delivered = 0;
    for (uint32_t n = 0; n < usm::kLocalisationBudget / cost + 2; ++n) {
        delivered += r.receive(trapFrom(users[1], 5000 + n), kNow + 1) == Outcome::Deliver;
    }
    EXPECT_EQ(delivered, static_cast<int>(usm::kLocalisationBudget / cost));
    EXPECT_EQ(r.receive(trapFrom(users[1], 6000), kNow + 2), Outcome::Deliver);
}

// Messages with wrong digests leave no pair behind: however many, they
// cannot push out the pair of a sender that authenticated, nor its latest
// time, so its old trap stays a replay.
TEST(UsmReceive, WrongDigestsCannotResetASendersReplayProtection)
{
    Receiver r(capturedUsers());
    const Bytes& trap = find("trap", "sha-aes").data;
    ASSERT_EQ(r.receive(trap, kNow), Outcome::Deliver);
    for (uint32_t n = 0; n < usm::kMaxCachedPairs; ++n)
        ASSERT_EQ(r.receive(withEngine(trap, n), kNow + 200 + n / 256), Outcome::WrongDigest) << n;
    EXPECT_EQ(r.security.cachedPairs(), 1u);
    EXPECT_EQ(r.receive(trap, kNow + 300), Outcome::NotInTimeWindow);
}

// A sender whose pair is kept needs no new key work: a flood that spends
// each second's budget before its trap does not stop the trap.
TEST(UsmReceive, AKnownSenderIsNotStoppedByAFloodThatSpendsTheBudget)
{
    Receiver r(capturedUsers());
    const Bytes& trap = find("trap", "sha-aes").data;
    ASSERT_EQ(r.receive(trap, kNow), Outcome::Deliver);
    int delivered = 0;
    for (uint32_t second = 1; second <= 4; ++second) {
        int refused = 0;
        for (uint32_t n = 0; n < usm::kLocalisationBudget; ++n)
            refused += r.receive(withEngine(trap, second << 16 | n), kNow + second) == Outcome::UnknownEngineId;
        EXPECT_GT(refused, 0) << "the flood did not spend the budget";
        delivered += r.receive(trap, kNow + second) == Outcome::Deliver;
    }
    EXPECT_EQ(delivered, 4);
}

// At most kMaxReportsPerSecond Reports a second, the rest counted as
// suppressed; an inform's Response is not a Report and still goes out.
TEST(UsmReceive, ReportsAreLimitedPerSecondAndResponsesAreNot)
{
    Receiver r(capturedUsers());
    const Bytes& probe = find("probe", "-").data;
    uint64_t suppressed = simplatform::stats().reportsSuppressed;
    uint32_t reports = 0;
    for (uint32_t n = 0; n < usm::kMaxReportsPerSecond + 5; ++n) {
        EXPECT_EQ(r.receive(probe), Outcome::UnknownEngineId);
        reports += !r.reply.empty();
    }
    EXPECT_EQ(reports, usm::kMaxReportsPerSecond);
    EXPECT_EQ(simplatform::stats().reportsSuppressed - suppressed, 5u);
    EXPECT_EQ(r.receive(find("inform", "sha-256-aes-256-c").data), Outcome::Deliver);
    EXPECT_FALSE(r.reply.empty());
    r.receive(probe, kNow + 1);
    EXPECT_FALSE(r.reply.empty()) << "a new second, a new allowance";
}

// A message for a user whose keys are not derived yet has them derived at
// once, within the second's budget: a user at authPriv costs 516 units
// (two pass phrases, two keys for each of two engines), so three fit in
// 2048 and a flood naming users hashes a bounded number of pass phrases.
TEST(UsmReceive, KeysAreDerivedWhenFirstNeededWithinTheBudget)
{
    std::vector<usm::User> users;
    std::string error, text;
    for (const char* name : {"sha-aes", "u-aes-1", "u-aes-2", "u-aes-3"})
        text += std::string("createUser ") + name + " SHA kelvorov-auth AES kelvorov-priv\n";
    ASSERT_TRUE(usm::parseUsers(text, "test", users, error)) << error;
    Receiver r(users, kEngine, false);
    const Bytes& trap = find("trap", "sha-aes").data;
    EXPECT_EQ(r.receive(trap), Outcome::Deliver);
    std::vector<Outcome> others;
    for (std::string name : {"u-aes-1", "u-aes-2", "u-aes-3"}) {
        Bytes d = trap;
        std::copy(name.begin(), name.end(),
                  std::search(d.begin(), d.end(), users[0].name.begin(), users[0].name.end()));
        others.push_back(r.receive(d));  // a wrong digest, once the keys are there
    }
    EXPECT_EQ(others,
              (std::vector<Outcome>{Outcome::WrongDigest, Outcome::WrongDigest, Outcome::UnknownEngineId}));
    EXPECT_EQ(r.security.usersWithKeys(), 3u);
}

TEST(UsmUsers, GoodLinesGiveTheirUsers)
{
    std::vector<usm::User> users;
    std::string error;
    ASSERT_TRUE(
        usm::parseUsers("# users\n\ncreateUser plain\n"
                        "createUser -e 0x8000000001020304 ups1 SHA-512 \"pass with blanks\" AES-192C  # one\n"
                        "createUser both md5 authpass1 des\n",
                        "users.conf", users, error))
        << error;
    ASSERT_EQ(users.size(), 3u);
    EXPECT_EQ(users[0].auth, usm::Auth::None);
    EXPECT_EQ(users[1].engineId, fromHex("8000000001020304"));
    EXPECT_EQ(users[1].auth, usm::Auth::Sha512);
    EXPECT_EQ(users[1].priv, usm::Priv::Aes192C);
    EXPECT_EQ(users[1].authPass, "pass with blanks");
    EXPECT_EQ(users[1].privPass, "pass with blanks");  // PRIVPASS defaults to AUTHPASS
    EXPECT_EQ(users[2].priv, usm::Priv::Des);
}

TEST(UsmUsers, BadFilesNameFileLineAndFault)
{
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"createUser a\ncreateUser b SHA1024 authpass1\n", "f:2: unknown authentication protocol SHA1024"},
        {"createUser b SHA authpass1 AES-512\n", "f:1: unknown privacy protocol AES-512"},
        {"createUser b SHA\n", "f:1: no authentication pass phrase"},
        {"createUser b SHA short\n", "f:1: authentication pass phrase shorter than 8 characters"},
        {"createUser b SHA authpass1 AES short\n", "f:1: privacy pass phrase shorter than 8 characters"},
        {"createUser -e 0x1234 b\n", "f:1: -e needs an engine ID of 5 to 32 bytes in hex"},
        {"createUser b\ncreateUser b\n", "f:2: user b defined twice"},
        {"createUser b SHA \"authpass1\n", "f:1: unterminated quote"},
        {"trapsess -v 3\n", "f:1: not a createUser line: trapsess"},
    };
    for (const auto& c : cases) {
        std::vector<usm::User> users;
        std::string error;
        EXPECT_FALSE(usm::parseUsers(c.text, "f", users, error)) << c.text;
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(users.empty());
    }
    // Not a regular file: refused at once, never read (a FIFO would block).
    std::string fifo = testing::TempDir() + "usm-users-fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<usm::User> users;
    std::string error;
    EXPECT_FALSE(usm::loadUsers(fifo, users, error));
    EXPECT_EQ(error, fifo + ": not a regular file");
    unlink(fifo.c_str());
    EXPECT_FALSE(usm::loadUsers(fifo, users, error));
    EXPECT_EQ(error.rfind(fifo + ": cannot read: ", 0), 0u) << error;
}
