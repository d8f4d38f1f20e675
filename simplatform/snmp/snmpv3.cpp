// SNMPv3 messages: the strict decoding of their header, security
// parameters and ScopedPDU, and the encoding of the messages sent back.
#include "snmpv3.h"

#include <cstring>

namespace simplatform {
namespace snmpv3 {

namespace {

using ber::Cursor;

constexpr auto kBadMaxSize = faultText<kMinMaxSize>("msgMaxSize is not an INTEGER of ", " to 2^31-1");
constexpr auto kBadEngineId = faultText<kMaxOctets>("engine ID is not an OCTET STRING of at most ", " bytes");
constexpr auto kBadUser = faultText<kMaxOctets>("user name is not an OCTET STRING of at most ", " bytes");
constexpr auto kBadAuthParams = faultText<usm::kMaxDigest>(
    "authentication parameters are not an OCTET STRING of at most ", " bytes");
constexpr auto kBadPrivParams = faultText<usm::kSaltLength>(
    "privacy parameters are not an OCTET STRING of at most ", " bytes");
constexpr auto kBadContextEngine = faultText<kMaxOctets>("contextEngineID is not an OCTET STRING of at most ",
                                                         " bytes");
constexpr auto kBadContextName = faultText<kMaxOctets>("contextName is not an OCTET STRING of at most ", " bytes");

#define TRY(step)                        \
    do {                                 \
        if (const char* fault_ = (step)) \
            return fault_;               \
    } while (0)

const char* readNonNegative(Cursor& c, int32_t minimum, int32_t& value, const char* what)
{
    Cursor field{};
    TRY(ber::readTagged(c, SNMP_TYPE_INTEGER, field, what));
    TRY(ber::readSigned32(field, value));
    return value < minimum ? what : nullptr;
}

const char* readOctets(Cursor& c, size_t maximum, Cursor& field, const char* what)
{
    TRY(ber::readTagged(c, SNMP_TYPE_OCTET_STRING, field, what));
    return field.left() > maximum ? what : nullptr;
}

// Wraps content as one element with tag.
void appendElement(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& content)
{
    ber::appendHeader(out, tag, content.size());
    out.insert(out.end(), content.begin(), content.end());
}

}  // namespace

int messageVersion(const uint8_t* data, size_t size)
{
    Cursor all{data, data + size}, message{}, field{};
    int32_t version = -1;
    if (data == nullptr || ber::readTagged(all, 0x30, message, "") ||
        ber::readTagged(message, SNMP_TYPE_INTEGER, field, "") || ber::readSigned32(field, version)) {
        return -1;
    }
    return version;
}

const char* decodeHeader(const uint8_t* data, size_t size, Header& h)
{
    h = Header{};
    if (data == nullptr || size == 0) {
        return "empty datagram";
    }
    if (size > ber::kMaxDatagram) {
        return ber::kLongDatagram.text;
    }
    Cursor all{data, data + size}, message{}, global{}, field{}, security{}, usm{};
    TRY(ber::readTagged(all, 0x30, message, "message is not a SEQUENCE"));
    if (!all.empty()) {
        return "bytes after the message";
    }
    int32_t version = 0;
    TRY(readNonNegative(message, 0, version, "version is not an INTEGER"));
    if (version != 3) {
        return "version other than SNMPv3";
    }

    TRY(ber::readTagged(message, 0x30, global, "msgGlobalData is not a SEQUENCE"));
    TRY(readNonNegative(global, 0, h.msgId, "msgID is not an INTEGER of 0 to 2^31-1"));
    TRY(readNonNegative(global, kMinMaxSize, h.maxSize, kBadMaxSize.text));
    TRY(ber::readTagged(global, SNMP_TYPE_OCTET_STRING, field, "msgFlags is not an OCTET STRING"));
    if (field.left() != 1) {
        return "msgFlags is not of one byte";
    }
    h.flags = field.p[0];
    if ((h.flags & kFlagPriv) && !(h.flags & kFlagAuth)) {
        return "msgFlags ask for privacy without authentication";
    }
    int32_t model = 0;
    TRY(readNonNegative(global, 1, model, "msgSecurityModel is not an INTEGER of 1 to 2^31-1"));
    if (model != 3) {
        return "security model other than the user-based one";
    }
    if (!global.empty()) {
        return "bytes after msgSecurityModel";
    }

    TRY(ber::readTagged(message, SNMP_TYPE_OCTET_STRING, security,
                        "msgSecurityParameters is not an OCTET STRING"));
    TRY(ber::readTagged(security, 0x30, usm, "security parameters are not a SEQUENCE"));
    if (!security.empty()) {
        return "bytes after the security parameters";
    }
    int32_t boots = 0, time = 0;
    TRY(readOctets(usm, kMaxOctets, h.engineId, kBadEngineId.text));
    TRY(readNonNegative(usm, 0, boots, "engine boots is not an INTEGER of 0 to 2^31-1"));
    TRY(readNonNegative(usm, 0, time, "engine time is not an INTEGER of 0 to 2^31-1"));
    TRY(readOctets(usm, kMaxOctets, h.user, kBadUser.text));
    TRY(readOctets(usm, usm::kMaxDigest, h.authParams, kBadAuthParams.text));
    TRY(readOctets(usm, usm::kSaltLength, h.privParams, kBadPrivParams.text));
    if (!usm.empty()) {
        return "bytes after the privacy parameters";
    }
    h.boots = static_cast<uint32_t>(boots);
    h.time = static_cast<uint32_t>(time);

    // The ScopedPDU is kept whole (with its header), encrypted data without.
    const uint8_t* start = message.p;
    uint8_t tag = 0;
    TRY(ber::readElement(message, tag, h.data));
    if (h.flags & kFlagPriv) {
        if (tag != SNMP_TYPE_OCTET_STRING) {
            return "encrypted data is not an OCTET STRING";
        }
    } else {
        if (tag != 0x30) {
            return "ScopedPDU is not a SEQUENCE";
        }
        h.data.p = start;
    }
    if (!message.empty()) {
        return "bytes after msgData";
    }
    return nullptr;
}

namespace {

const char* readScopedPdu(const uint8_t* data, size_t size, bool padded, ber::Message& m, Context& context)
{
    Cursor all{data, data + size}, scoped{}, engine{}, name{};
    TRY(ber::readTagged(all, 0x30, scoped, "ScopedPDU is not a SEQUENCE"));
    if (!all.empty() && !(padded && all.left() < 8)) {
        return "bytes after the ScopedPDU";
    }
    TRY(readOctets(scoped, kMaxOctets, engine, kBadContextEngine.text));
    TRY(readOctets(scoped, kMaxOctets, name, kBadContextName.text));
    TRY(ber::readPdu(scoped, m));
    if (!scoped.empty()) {
        return "bytes after the PDU";
    }
    m.version = 3;
    context.engineOffset = static_cast<uint32_t>(m.bytes.size());
    context.engineLength = static_cast<uint32_t>(engine.left());
    m.bytes.insert(m.bytes.end(), engine.p, engine.end);
    context.nameOffset = static_cast<uint32_t>(m.bytes.size());
    context.nameLength = static_cast<uint32_t>(name.left());
    m.bytes.insert(m.bytes.end(), name.p, name.end);
    return nullptr;
}

}  // namespace

const char* decodeScopedPdu(const uint8_t* data, size_t size, bool padded, ber::Message& m, Context& context)
{
    m.clear();
    context = Context{};
    const char* fault = readScopedPdu(data, size, padded, m, context);
    if (fault) {
        m.clear();
    }
    return fault;
}

bool appendScopedAnswer(const ber::Message& m, uint8_t tag, const uint8_t* contextEngine, size_t engineLength,
                        const uint8_t* contextName, size_t nameLength, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> content;
    ber::appendOctets(content, contextEngine, engineLength);
    ber::appendOctets(content, contextName, nameLength);
    if (!ber::appendAnswerPdu(m, tag, content)) {
        return false;
    }
    appendElement(out, 0x30, content);
    return out.size() <= ber::kMaxDatagram;
}

bool encodeMessage(const Outgoing& o, std::vector<uint8_t>& scopedPdu, std::vector<uint8_t>& out)
{
    out.clear();
    bool authenticated = (o.flags & kFlagAuth) != 0;
    bool private_ = (o.flags & kFlagPriv) != 0;
    uint8_t noSalt[usm::kSaltLength] = {};
    if (private_) {
        size_t block = usm::privBlockLength(o.priv);
        scopedPdu.resize((scopedPdu.size() + block - 1) / block * block, 0);
        if (!o.privKey || !o.salt ||
            !usm::encrypt(o.priv, *o.privKey, o.boots, o.time, o.salt, scopedPdu.data(), scopedPdu.size())) {
            return false;
        }
    }
    size_t digestLength = authenticated ? usm::digestLength(o.auth) : 0;
    if (authenticated && (!o.authKey || digestLength == 0)) {
        return false;
    }

    std::vector<uint8_t> usmSequence, usmContent, global, content;
    ber::appendOctets(usmContent, o.engineId, o.engineIdLength);
    ber::appendInteger(usmContent, o.boots);
    ber::appendInteger(usmContent, o.time);
    ber::appendOctets(usmContent, o.user, o.userLength);
    uint8_t zeros[usm::kMaxDigest] = {};
    ber::appendHeader(usmContent, SNMP_TYPE_OCTET_STRING, digestLength);
    size_t digestAt = usmContent.size();
    usmContent.insert(usmContent.end(), zeros, zeros + digestLength);
    ber::appendOctets(usmContent, private_ ? o.salt : noSalt, private_ ? usm::kSaltLength : 0);
    appendElement(usmSequence, 0x30, usmContent);
    digestAt += usmSequence.size() - usmContent.size();

    ber::appendInteger(global, o.msgId);
    ber::appendInteger(global, static_cast<int64_t>(ber::kMaxDatagram));
    uint8_t flags = o.flags & (kFlagAuth | kFlagPriv);
    ber::appendOctets(global, &flags, 1);
    ber::appendInteger(global, 3);

    ber::appendInteger(content, 3);
    appendElement(content, 0x30, global);
    appendElement(content, SNMP_TYPE_OCTET_STRING, usmSequence);
    digestAt += content.size() - usmSequence.size();
    if (private_) {
        appendElement(content, SNMP_TYPE_OCTET_STRING, scopedPdu);
    } else {
        content.insert(content.end(), scopedPdu.begin(), scopedPdu.end());
    }
    appendElement(out, 0x30, content);
    digestAt += out.size() - content.size();
    if (out.size() > ber::kMaxDatagram) {
        return false;
    }
    if (authenticated) {
        uint8_t mac[usm::kMaxDigest];
        if (!usm::digest(o.auth, *o.authKey, out.data(), out.size(), mac)) {
            return false;
        }
        std::memcpy(out.data() + digestAt, mac, digestLength);
    }
    return true;
}

}  // namespace snmpv3
}  // namespace simplatform
