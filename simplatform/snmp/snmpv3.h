// The SNMPv3 message (RFC 3412) with the user-based security model's
// parameters (RFC 3414): decoding the parts of a received message in the
// same strict, bounded way as ber.h decodes the others, and encoding the
// messages the receiver sends back (Reports and Responses). Security itself
// (users, keys, digests, time) is usm.h's.
//
//   message        SEQUENCE { msgVersion 3, msgGlobalData, msgSecurityParameters, msgData }
//   msgGlobalData  SEQUENCE { msgID 0..2^31-1, msgMaxSize 484..2^31-1, msgFlags (1 byte),
//                             msgSecurityModel 3 }
//   security       OCTET STRING holding SEQUENCE { engine ID (0..32 bytes), boots, time
//                  (0..2^31-1), user name (0..32 bytes), authentication parameters,
//                  privacy parameters }
//   msgData        a ScopedPDU, or an OCTET STRING holding it encrypted
//   ScopedPDU      SEQUENCE { contextEngineID (0..32 bytes), contextName (0..32 bytes), PDU }
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ber.h"
#include "usmcrypto.h"

namespace simplatform {
namespace snmpv3 {

enum : uint8_t {
    kFlagAuth = 0x01,
    kFlagPriv = 0x02,
    kFlagReportable = 0x04
};

constexpr int32_t kMinMaxSize = 484;
constexpr size_t kMaxOctets = 32;  // engine IDs, user and context names

// A message's header and security parameters, pointing into the datagram.
struct Header {
    int32_t msgId = 0;
    int32_t maxSize = 0;
    uint8_t flags = 0;
    ber::Cursor engineId{};
    uint32_t boots = 0;
    uint32_t time = 0;
    ber::Cursor user{};
    ber::Cursor authParams{};  // its place in the datagram is where the digest goes
    ber::Cursor privParams{};
    ber::Cursor data{};  // the ScopedPDU element, or the encrypted bytes
};

// The version of an SNMP message (0, 1, 3, ...), read without checking the
// rest; -1 when the datagram does not begin like one.
int messageVersion(const uint8_t* data, size_t size);

// Decodes the message's header and security parameters. Null when well
// formed, otherwise the first fault. msgFlags with privacy but not
// authentication and a security model other than 3 are faults.
const char* decodeHeader(const uint8_t* data, size_t size, Header& header);

// Where a ScopedPDU's context is kept in the message it decodes into.
struct Context {
    uint32_t engineOffset = 0;  // in Message::bytes
    uint32_t engineLength = 0;
    uint32_t nameOffset = 0;
    uint32_t nameLength = 0;
};

// Decodes a ScopedPDU into m (version 3; cleared first, and again on a fault). A decrypted DES
// ScopedPDU may be followed by up to 7 bytes of padding (padded).
const char* decodeScopedPdu(const uint8_t* data, size_t size, bool padded, ber::Message& m, Context& context);

// What an outgoing message carries besides its ScopedPDU.
struct Outgoing {
    int32_t msgId = 0;
    uint8_t flags = 0;  // kFlagAuth, kFlagPriv
    const uint8_t* engineId = nullptr;
    size_t engineIdLength = 0;
    uint32_t boots = 0;
    uint32_t time = 0;
    const uint8_t* user = nullptr;
    size_t userLength = 0;
    usm::Auth auth = usm::Auth::None;
    usm::Priv priv = usm::Priv::None;
    const usm::Key* authKey = nullptr;
    const usm::Key* privKey = nullptr;
    const uint8_t* salt = nullptr;  // kSaltLength bytes, with kFlagPriv
};

// Encodes the message carrying scopedPdu (a ScopedPDU element; it is
// encrypted in place, padded for DES, when the message is private) into out,
// with the digest in its place when it is authenticated. False when the
// message would exceed ber::kMaxDatagram or the cryptography fails.
bool encodeMessage(const Outgoing& o, std::vector<uint8_t>& scopedPdu, std::vector<uint8_t>& out);

// Appends a ScopedPDU holding the PDU that answers m with tag (Response or
// Report) to out, in the given context.
bool appendScopedAnswer(const ber::Message& m, uint8_t tag, const uint8_t* contextEngine, size_t engineLength,
                        const uint8_t* contextName, size_t nameLength, std::vector<uint8_t>& out);

}  // namespace snmpv3
}  // namespace simplatform
