// One datagram from the wire to the program, as the trap receiver gets it.
//
// The input's first byte picks the sender (bit 0: 127.0.0.1, a host the map
// does not know, or 127.0.0.2, the map's UPS host); the rest is the datagram.
// It is sent over loopback to the open trap session's port and the message
// loop dispatches it, so it takes the receiver's own road: the batched
// receive, the decoder, the answer to an inform, the PDU record, and
// process_pdu with the debug log on, the host search over a UPS table filled
// from a map, trap classification and showUpsEvent.
//
// SNMPv3 messages meet the users of tests/data/usm/users.conf (those of
// the captured SNMPv3 seeds) at the engine the seeds' informs name.
//
// Checked for every input besides the sanitizers' findings: the datagram is
// counted once, as delivered, malformed or one of the SNMPv3 drops; an
// SNMPv1 or SNMPv2c inform is answered once, with a Response of the same
// request id and bindings, and nothing else is sent back; an SNMPv3 message
// gets at most one answer, an SNMPv3 message of the platform's engine, and
// a delivered SNMPv3 inform exactly one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "../app/debuglog.h"
#include "../map/upsmap.h"
#include "../platform/platform.h"
#include "../simplatform/mapdb/mapfile.h"
#include "../simplatform/runtime/stats.h"
#include "../simplatform/snmp/ber.h"
#include "../simplatform/snmp/snmpv3.h"
#include "../simplatform/trapport/trapsecurity.h"
#include "../trap/trapsession.h"
#include "fuzzcommon.h"

namespace {

namespace ber = simplatform::ber;

// The UPS has two symbols, so the host search sees more than one entry.
const char kMap[] = R"({
  "name": "Fuzz",
  "submaps": [ { "id": 1, "name": "Root" }, { "id": 2, "name": "Hall 3" } ],
  "objects": [
    { "id": 100, "hostname": "ups-fuzz",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.935" },
      "symbols": [ { "id": 1000, "label": "ups-fuzz", "submap": 2 },
                   { "id": 1001, "label": "ups-fuzz: Powerfail", "submap": 1, "status": 4 } ] },
    { "id": 101, "hostname": "router-fuzz",
      "fields": { "isIP": true, "SNMP sysObjectID": ".1.3.6.1.4.1.9.1.1" },
      "symbols": [ { "id": 1002, "label": "router-fuzz", "submap": 1 } ] }
  ]
})";

// Largest payload of one IPv4 UDP datagram.
constexpr size_t kMaxUdpPayload = 65507;

struct Sender {
    int socket = -1;
    sockaddr_in address{};
};

Sender senders[2];
sockaddr_in trapAddress{};

int boundUdp(const char* ip, uint16_t port, sockaddr_in& address)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    socklen_t length = sizeof address;
    FUZZ_CHECK(s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0,
               "cannot bind a UDP socket on %s", ip);
    return s;
}

// Everything waiting on a sender's socket: the Responses it was sent.
int takeReplies(const Sender& sender, uint8_t* buffer, size_t size, size_t& last)
{
    int count = 0;
    ssize_t n;
    while ((n = recv(sender.socket, buffer, size, MSG_DONTWAIT)) >= 0) {
        last = static_cast<size_t>(n);
        ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string drive = fuzz::makeDrive("receiver");
    setenv("SIMPLATFORM_HOSTS",
           fuzz::writeFile(drive + "/hosts", "127.0.0.2 ups-fuzz\n127.0.0.3 router-fuzz\n").c_str(), 1);
    setenv("SIMPLATFORM_QUIET", "1", 1);
    setenv("SIMPLATFORM_CONTROL_ADDR", "127.0.0.1:0", 1);
    // No HTTP port: it looks at the counters once a second, a turn of its
    // own that the one turn per datagram below does not expect.
    setenv("SIMPLATFORM_HTTP_ADDR", "off", 1);
    unsetenv("SIMPLATFORM_STATE");

    // A free port for the trap session: bound once to learn it, then freed.
    sockaddr_in probe{};
    close(boundUdp("127.0.0.1", 0, probe));
    std::string trapAddr = "127.0.0.1:" + std::to_string(ntohs(probe.sin_port));
    setenv("SIMPLATFORM_TRAP_ADDR", trapAddr.c_str(), 1);
    trapAddress = probe;

    senders[0].socket = boundUdp("127.0.0.1", 0, senders[0].address);
    senders[1].socket = boundUdp("127.0.0.2", 0, senders[1].address);

    // The program's own start-up, with the log on and a map open.
    debuglogenabled = 1;
    writeDebugLog("This message should appear in the DebugFile\n", 1);
    _OVwInit(5);
    std::string error;
    FUZZ_CHECK(simplatform::openMapText(kMap, "fuzz-map.json", error), "%s", error.c_str());
    clearupstable();
    MapHandle* map = OVwGetMapInfo();
    char hostname[UPS_HOSTNAME_SIZE];
    FUZZ_CHECK(map != nullptr && checksubmapforbox(map, nullptr, hostname, sizeof hostname) != nullptr,
               "the UPS was not found on the fuzz map");
    FUZZ_CHECK(upstablewalk(nullptr) != nullptr && upstablewalk(upstablewalk(nullptr)) != nullptr,
               "the UPS table was not filled");
    setenv("SIMPLATFORM_USM_USERS", (std::string(KELVOROV_SOURCE_DIR) + "/tests/data/usm/users.conf").c_str(), 1);
    setenv("SIMPLATFORM_ENGINE_ID", "800000000574657374656e67", 1);
    FUZZ_CHECK(simplatform::configureTrapSecurity(error), "%s", error.c_str());
    openTrapSession();
    FUZZ_CHECK(trapsession != nullptr, "the trap session did not open on %s", trapAddr.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size - 1 > kMaxUdpPayload) {
        return 0;
    }
    const Sender& sender = senders[data[0] & 1];
    const uint8_t* datagram = data + 1;
    size_t length = size - 1;

    static ber::Message expected;
    bool decoded = ber::decodeMessage(datagram, length, expected);
    bool deliverable = decoded && (expected.pduType == SNMP_KIND_TRAP_V1 || expected.pduType == SNMP_KIND_INFORM ||
                                   expected.pduType == SNMP_KIND_TRAP_V2);
    bool inform = deliverable && expected.pduType == SNMP_KIND_INFORM;
    bool v3 = simplatform::snmpv3::messageVersion(datagram, length) == 3;

    // Each input begins the log anew, as start-up does, so it stays small.
    writeDebugLog("fuzz input\n", 1);
    const simplatform::Stats before = simplatform::stats();

    ssize_t sent = sendto(sender.socket, datagram, length, 0, reinterpret_cast<const sockaddr*>(&trapAddress),
                          sizeof trapAddress);
    if (sent != static_cast<ssize_t>(length)) {
        return 0;  // not on the wire: nothing to receive
    }
    // Until the users' keys are all derived, the loop's turns for that (a
    // timer) come between the datagrams' turns.
    const simplatform::Stats& after = simplatform::stats();
    for (int turns = 0; after.datagrams == before.datagrams && turns < 1000; ++turns) {
        MSG msg;
        FUZZ_CHECK(GetMessageA(&msg, nullptr, 0, 0) > 0, "the message loop gave no message for a datagram");
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    FUZZ_CHECK(after.datagrams == before.datagrams + 1, "datagrams %llu -> %llu",
               (unsigned long long)before.datagrams, (unsigned long long)after.datagrams);
    uint64_t dropped = after.malformed + after.usmUnknownUsers + after.usmUnknownEngineIDs +
                       after.usmWrongDigests + after.usmDecryptionErrors + after.usmNotInTimeWindows +
                       after.usmUnsupportedSecLevels;
    FUZZ_CHECK(after.delivered + dropped == after.datagrams, "delivered %llu + dropped %llu != %llu",
               (unsigned long long)after.delivered, (unsigned long long)dropped,
               (unsigned long long)after.datagrams);

    static uint8_t reply[65536];
    size_t replyLength = 0;
    int replies = takeReplies(senders[0], reply, sizeof reply, replyLength) +
                  takeReplies(senders[1], reply, sizeof reply, replyLength);
    if (v3) {
        uint64_t answers = after.informsAnswered + after.reportsSent - before.informsAnswered - before.reportsSent;
        FUZZ_CHECK(replies <= 1 && answers == static_cast<uint64_t>(replies), "SNMPv3: %d replies, %llu answers",
                   replies, (unsigned long long)answers);
        if (after.informsAnswered != before.informsAnswered) {
            FUZZ_CHECK(after.delivered == before.delivered + 1, "an SNMPv3 Response without a delivery");
        }
        if (replies == 1) {
            simplatform::snmpv3::Header h;
            FUZZ_CHECK(simplatform::snmpv3::decodeHeader(reply, replyLength, h) == nullptr,
                       "the SNMPv3 answer does not decode");
        }
        return 0;
    }
    FUZZ_CHECK(after.delivered == before.delivered + (deliverable ? 1 : 0), "delivered %d, expected %d",
               (int)(after.delivered - before.delivered), deliverable ? 1 : 0);
    FUZZ_CHECK(after.informsAnswered == before.informsAnswered + (inform ? 1 : 0) && replies == (inform ? 1 : 0),
               "inform %d: answered %d, replies %d", inform ? 1 : 0,
               (int)(after.informsAnswered - before.informsAnswered), replies);
    if (inform) {
        static ber::Message response;
        const char* why = "";
        FUZZ_CHECK(ber::decodeMessage(reply, replyLength, response, &why), "the Response does not decode: %s",
                   why);
        FUZZ_CHECK(response.pduType == ber::kTagResponse && response.requestId == expected.requestId &&
                       response.errorStatus == 0 && response.errorIndex == 0 &&
                       response.version == expected.version &&
                       response.bindings.size() == expected.bindings.size() &&
                       response.communityLength == expected.communityLength,
                   "the Response does not answer the inform");
    }
    return 0;
}
