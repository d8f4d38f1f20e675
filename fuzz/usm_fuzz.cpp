// The SNMPv3 security layer on its own, without sockets: the users file
// parser and the receiver's verdict on one datagram.
//
// First byte 0: the rest is a users file's text. Checked: a refusal names
// the file and a line; an accepted file has only users of 1 to 32 bytes.
// Any other first byte: the rest is a datagram, judged by a Security that
// knows the users of tests/data/usm/users.conf (the captured messages'
// users, all protocol pairs) and the engine they were captured for.
// Checked: a delivered message is a trap or inform with the user as
// community; an inform is answered and nothing else delivered is; every
// reply is a well-formed SNMPv3 message of the platform's engine.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../simplatform/snmp/snmpv3.h"
#include "../simplatform/snmp/usm.h"
#include "../simplatform/snmp/usmusers.h"
#include "fuzzcommon.h"

namespace {

namespace usm = simplatform::usm;
namespace snmpv3 = simplatform::snmpv3;
namespace ber = simplatform::ber;

const uint8_t kEngine[] = {0x80, 0x00, 0x00, 0x00, 0x05, 0x74, 0x65, 0x73, 0x74, 0x65, 0x6e, 0x67};
constexpr uint64_t kStart = 100000;

usm::Security& security()
{
    static usm::Security* s = new usm::Security;
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::vector<usm::User> users;
    std::string error;
    std::string path = std::string(KELVOROV_SOURCE_DIR) + "/tests/data/usm/users.conf";
    FUZZ_CHECK(usm::loadUsers(path, users, error), "%s", error.c_str());
    security().configure(std::move(users), std::vector<uint8_t>(kEngine, kEngine + sizeof kEngine), 7, kStart);
    // As the program's loop does after the start.
    while (security().deriveNextKeys()) { }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    if (data[0] == 0) {
        std::vector<usm::User> users;
        std::string error;
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        if (!usm::parseUsers(text, "fuzz.conf", users, error)) {
            FUZZ_CHECK(error.rfind("fuzz.conf:", 0) == 0 && users.empty(), "refusal: %s", error.c_str());
        } else {
            for (const usm::User& u : users) {
                FUZZ_CHECK(!u.name.empty() && u.name.size() <= usm::kMaxName, "user name of %zu bytes",
                           u.name.size());
            }
        }
        return 0;
    }
    static ber::Message out;
    static std::vector<uint8_t> reply;
    // Engine time from 1000, as when the informs were captured, one second
    // more each input and back within their time window, so that each
    // second's budget and Reports are not spent once for the whole run.
    static uint64_t inputs = 0;
    uint64_t now = kStart + 1000 + inputs++ % 100;
    usm::Outcome outcome = security().receive(data + 1, size - 1, now, out, reply);
    if (outcome == usm::Outcome::Deliver) {
        bool inform = out.pduType == SNMP_KIND_INFORM;
        FUZZ_CHECK(inform || out.pduType == SNMP_KIND_TRAP_V2, "delivered PDU type 0x%02x", out.pduType);
        FUZZ_CHECK(out.version == 3 && out.bindings.size() >= 2, "delivered without a notification");
        FUZZ_CHECK(out.communityOffset + out.communityLength <= out.bytes.size(), "community out of its bytes");
        FUZZ_CHECK(inform == !reply.empty(), "inform %d answered %d", inform ? 1 : 0, reply.empty() ? 0 : 1);
    } else {
        FUZZ_CHECK(out.bindings.empty(), "a dropped message left its bindings");
    }
    if (!reply.empty()) {
        snmpv3::Header h;
        const char* why = snmpv3::decodeHeader(reply.data(), reply.size(), h);
        FUZZ_CHECK(why == nullptr, "reply does not decode: %s", why);
        FUZZ_CHECK(h.engineId.left() == sizeof kEngine && std::memcmp(h.engineId.p, kEngine, sizeof kEngine) == 0,
                   "reply of another engine");
    }
    return 0;
}
