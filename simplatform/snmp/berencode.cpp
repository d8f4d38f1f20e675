// BER encoding of the answers the trap receiver sends: the Response-PDU
// that answers an inform, and the pieces of the SNMPv3 messages it sends
// back. Every length and integer is written in its shortest form.
#include "ber.h"

namespace simplatform {
namespace ber {

namespace {

size_t lengthSize(size_t length)
{
    size_t n = 1;
    if (length >= 0x80) {
        for (size_t l = length; l; l >>= 8) {
            ++n;
        }
    }
    return n;
}

size_t elementSize(size_t contentLength)
{
    return 1 + lengthSize(contentLength) + contentLength;
}

// Content bytes of a two's complement value in its shortest form.
size_t signedSize(int64_t v)
{
    size_t n = 1;
    while (n < 8 && !(v >= -(int64_t(1) << (8 * n - 1)) && v < (int64_t(1) << (8 * n - 1)))) {
        ++n;
    }
    return n;
}

size_t unsignedSize(uint64_t v)
{
    size_t n = 1;
    while (n < 9 && (v >> (8 * n - 1)) != 0) {
        ++n;
    }
    return n;
}

// Writes elements to out, or with out null only counts their bytes, so that
// every content length comes from the same code that writes the content.
struct Writer {
    std::vector<uint8_t>* out;
    size_t count = 0;

    void byte(uint8_t b)
    {
        ++count;
        if (out) {
            out->push_back(b);
        }
    }
    void header(uint8_t tag, size_t length)
    {
        byte(tag);
        if (length < 0x80) {
            byte(static_cast<uint8_t>(length));
            return;
        }
        size_t n = lengthSize(length) - 1;
        byte(static_cast<uint8_t>(0x80 | n));
        for (size_t i = n; i-- > 0;) {
            byte(static_cast<uint8_t>(length >> (8 * i)));
        }
    }
    void bigEndian(uint64_t v, size_t n)
    {
        for (size_t i = n; i-- > 0;) {
            byte(static_cast<uint8_t>(i < 8 ? v >> (8 * i) : 0));
        }
    }
    void signedInteger(uint8_t tag, int64_t v)
    {
        header(tag, signedSize(v));
        bigEndian(static_cast<uint64_t>(v), signedSize(v));
    }
    void base128(uint64_t v)
    {
        size_t n = 1;
        while (v >> (7 * n)) {
            ++n;
        }
        for (size_t i = n; i-- > 0;) {
            byte(static_cast<uint8_t>(((v >> (7 * i)) & 0x7F) | (i ? 0x80 : 0)));
        }
    }
    void oidContent(const uint32_t* words, uint32_t n)
    {
        if (n == 0) {
            return;
        }
        base128(40ull * words[0] + (n > 1 ? words[1] : 0));
        for (uint32_t i = 2; i < n; ++i) {
            base128(words[i]);
        }
    }
    void raw(const uint8_t* data, size_t n)
    {
        count += n;
        if (out) {
            out->insert(out->end(), data, data + n);
        }
    }
    void bytes(uint8_t tag, const uint8_t* data, size_t n)
    {
        header(tag, n);
        raw(data, n);
    }
    void valueContent(const Message& m, const Binding& b)
    {
        switch (valueForm(b.type)) {
        case ValueForm::Signed32: {
            int32_t v = static_cast<int32_t>(m.words[b.valueOffset]);
            bigEndian(static_cast<uint64_t>(v), signedSize(v));
            break;
        }
        case ValueForm::Unsigned32:
            bigEndian(m.words[b.valueOffset], unsignedSize(m.words[b.valueOffset]));
            break;
        case ValueForm::Unsigned64: {
            const SnmpCounter64& c = m.counters[b.valueOffset];
            uint64_t v = (uint64_t(c.high) << 32) | c.low;
            bigEndian(v, unsignedSize(v));
            break;
        }
        case ValueForm::ObjectId:
            oidContent(m.words.data() + b.valueOffset, b.valueLength);
            break;
        case ValueForm::Empty:
            break;
        case ValueForm::Address:
        case ValueForm::Bytes:
        case ValueForm::Refused:  // not decoded, so never written
            raw(m.bytes.data() + b.valueOffset, b.valueLength);
            break;
        }
    }
};

size_t oidSize(const uint32_t* words, uint32_t n)
{
    Writer w{nullptr};
    w.oidContent(words, n);
    return w.count;
}

size_t valueSize(const Message& m, const Binding& b)
{
    Writer w{nullptr};
    w.valueContent(m, b);
    return w.count;
}

size_t bindingSize(const Message& m, const Binding& b)
{
    return elementSize(oidSize(m.words.data() + b.nameOffset, b.nameLength)) + elementSize(valueSize(m, b));
}

size_t answerPduContent(const Message& m, size_t& listContent)
{
    listContent = 0;
    for (const Binding& b : m.bindings) {
        listContent += elementSize(bindingSize(m, b));
    }
    return elementSize(signedSize(m.requestId)) + 2 * elementSize(1) + elementSize(listContent);
}

void writeAnswerPdu(Writer& w, const Message& m, uint8_t tag, size_t pduContent, size_t listContent)
{
    w.header(tag, pduContent);
    w.signedInteger(SNMP_TYPE_INTEGER, m.requestId);
    w.signedInteger(SNMP_TYPE_INTEGER, 0);
    w.signedInteger(SNMP_TYPE_INTEGER, 0);
    w.header(kTagSequence, listContent);
    for (const Binding& b : m.bindings) {
        w.header(kTagSequence, bindingSize(m, b));
        w.header(SNMP_TYPE_OBJECT_ID, oidSize(m.words.data() + b.nameOffset, b.nameLength));
        w.oidContent(m.words.data() + b.nameOffset, b.nameLength);
        w.header(b.type, valueSize(m, b));
        w.valueContent(m, b);
    }
}

}  // namespace

bool encodeResponse(const Message& m, std::vector<uint8_t>& out)
{
    out.clear();
    size_t listContent = 0;
    size_t pduContent = answerPduContent(m, listContent);
    size_t messageContent = elementSize(signedSize(m.version)) + elementSize(m.communityLength) +
                            elementSize(pduContent);
    if (elementSize(messageContent) > kMaxDatagram) {
        return false;
    }
    out.reserve(elementSize(messageContent));

    Writer w{&out};
    w.header(kTagSequence, messageContent);
    w.signedInteger(SNMP_TYPE_INTEGER, m.version);
    w.bytes(SNMP_TYPE_OCTET_STRING, m.bytes.data() + m.communityOffset, m.communityLength);
    writeAnswerPdu(w, m, kTagResponse, pduContent, listContent);
    return true;
}

bool appendAnswerPdu(const Message& m, uint8_t tag, std::vector<uint8_t>& out)
{
    size_t listContent = 0;
    size_t pduContent = answerPduContent(m, listContent);
    if (out.size() + elementSize(pduContent) > kMaxDatagram) {
        return false;
    }
    Writer w{&out};
    writeAnswerPdu(w, m, tag, pduContent, listContent);
    return true;
}

void appendHeader(std::vector<uint8_t>& out, uint8_t tag, size_t length)
{
    Writer{&out}.header(tag, length);
}

void appendInteger(std::vector<uint8_t>& out, int64_t value)
{
    Writer{&out}.signedInteger(SNMP_TYPE_INTEGER, value);
}

void appendOctets(std::vector<uint8_t>& out, const uint8_t* data, size_t length)
{
    Writer{&out}.bytes(SNMP_TYPE_OCTET_STRING, data, length);
}

}  // namespace ber
}  // namespace simplatform
