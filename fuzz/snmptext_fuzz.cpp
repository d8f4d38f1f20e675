// formatValue and oidToText over arbitrary bindings.
//
// Input: byte 0 is the binding's type tag, byte 1 the size of the caller's
// buffer (0 to 254, or 256 for 255), the rest the value. The value is kept
// in storage of exactly its own size, as the platform's records hold it, so
// that any read past it is found:
//   OCTET STRING, Opaque, IpAddress and unknown tags: the bytes, value_length
//     their count (an IpAddress may so be shorter or longer than 4);
//   OBJECT IDENTIFIER: the bytes as 32-bit sub-identifiers, value_length
//     their count;
//   INTEGER, Unsigned32, Counter, Gauge, TimeTicks: one 32-bit word;
//   Counter64: one counter;
//   NULL and the exception tags: no storage at all.
// The buffer is allocated with exactly the given size.
//
// Checked besides the sanitizers' findings: the text is NUL-terminated
// inside the buffer; a text octet string is copied unchanged as far as it
// fits; oidToText gives the dotted text of any identifier whose text fits
// its buffer, never one that ends in a dot, and "<null>" for a null pointer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../snmptext/snmptext.h"
#include "fuzzcommon.h"

namespace {

std::string dotted(const uint32_t* subids, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string(subids[i]);
    }
    return text;
}

void checkOidToText(const uint8_t* bytes, size_t length)
{
    size_t count = length / 4;
    uint32_t* subids = static_cast<uint32_t*>(malloc(count * sizeof(uint32_t)));
    if (count > 0) {
        memcpy(subids, bytes, count * sizeof(uint32_t));
    }
    std::string expected = dotted(subids, count);
    const char* text = oidToText(subids, static_cast<uint32_t>(count));
    size_t textLength = strnlen(text, OID_TEXT_SIZE);
    FUZZ_CHECK(textLength < OID_TEXT_SIZE, "oidToText is not terminated inside its buffer");
    if (expected.size() < OID_TEXT_SIZE) {
        FUZZ_CHECK(expected == text, "oidToText of %zu sub-identifiers: \"%s\", expected \"%s\"", count, text,
                   expected.c_str());
    } else {
        FUZZ_CHECK(textLength == 0 || text[textLength - 1] != '.', "oidToText ends in a dot: %s", text);
    }
    FUZZ_CHECK(strcmp(oidToText(nullptr, static_cast<uint32_t>(count)), "<null>") == 0,
               "oidToText of a null pointer");
    free(subids);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    uint8_t type = data[0];
    int32_t bufferSize = data[1] == 255 ? 256 : data[1];
    const uint8_t* bytes = data + 2;
    size_t length = size - 2;

    SnmpVarBind binding{};
    binding.type = type;
    void* storage = nullptr;
    switch (type) {
    case SNMP_TYPE_INTEGER:
    case SNMP_TYPE_UNSIGNED32:
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS: {
        uint32_t word = 0;
        memcpy(&word, bytes, length < 4 ? length : 4);
        storage = malloc(sizeof word);
        memcpy(storage, &word, sizeof word);
        binding.value_length = sizeof word;
        break;
    }
    case SNMP_TYPE_COUNTER64: {
        SnmpCounter64 counter{};
        memcpy(&counter, bytes, length < sizeof counter ? length : sizeof counter);
        storage = malloc(sizeof counter);
        memcpy(storage, &counter, sizeof counter);
        binding.value_length = 8;
        break;
    }
    case SNMP_TYPE_OBJECT_ID:
        binding.value_length = static_cast<uint32_t>(length / 4);
        storage = malloc(binding.value_length * sizeof(uint32_t));
        memcpy(storage, bytes, binding.value_length * sizeof(uint32_t));
        break;
    case SNMP_TYPE_NULL:
    case SNMP_TYPE_NO_SUCH_OBJECT:
    case SNMP_TYPE_NO_SUCH_INSTANCE:
    case SNMP_TYPE_END_OF_MIB_VIEW:
        break;
    default:
        binding.value_length = static_cast<uint32_t>(length);
        storage = malloc(length);
        if (length > 0) {
            memcpy(storage, bytes, length);
        }
        break;
    }
    binding.value.string = static_cast<uint8_t*>(storage);

    // malloc(0) gives storage that must not be touched at all.
    char* buffer = static_cast<char*>(malloc(static_cast<size_t>(bufferSize)));
    formatValue(buffer, bufferSize, &binding);
    if (bufferSize > 0) {
        size_t textLength = strnlen(buffer, static_cast<size_t>(bufferSize));
        FUZZ_CHECK(textLength < static_cast<size_t>(bufferSize), "type 0x%02X: text not terminated in %d bytes",
                   type, bufferSize);
        if (type == SNMP_TYPE_OCTET_STRING) {
            bool text = true;
            for (size_t i = 0; i < length; ++i) {
                text = text && ((bytes[i] >= 9 && bytes[i] <= 13) || (bytes[i] >= 32 && bytes[i] <= 126));
            }
            size_t shown = length < static_cast<size_t>(bufferSize - 1) ? length
                                                                        : static_cast<size_t>(bufferSize - 1);
            if (text) {
                FUZZ_CHECK(textLength == shown && memcmp(buffer, bytes, shown) == 0,
                           "a text octet string of %zu bytes is not copied unchanged into %d bytes", length,
                           bufferSize);
            }
        }
    }
    free(buffer);
    free(storage);

    checkOidToText(data + 2, size - 2);
    return 0;
}
