// Record lines: written with their checksum, read back and checked.
#include "journal.h"

#include "checksum.h"

namespace simplatform {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void putChecksum(char* at, std::uint32_t sum)
{
    for (int i = 7; i >= 0; --i) {
        at[i] = kHex[sum & 0xF];
        sum >>= 4;
    }
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The JSON of a line (without its line break) whose checksum holds.
bool checkedRecord(std::string_view line, std::string_view& json)
{
    if (line.size() < kRecordPrefix + 2 || line[8] != ' ') {
        return false;
    }
    std::uint32_t sum = 0;
    for (size_t i = 0; i < 8; ++i) {
        int digit = hexValue(line[i]);
        if (digit < 0) {
            return false;
        }
        sum = sum << 4 | static_cast<std::uint32_t>(digit);
    }
    json = line.substr(kRecordPrefix);
    return checksumOf(json) == sum;
}

bool onlyNulBytes(std::string_view text)
{
    return text.find_first_not_of('\0') == std::string_view::npos;
}

}  // namespace

void appendRecordLine(std::string& out, std::string_view json)
{
    size_t start = out.size();
    beginRecordLine(out);
    out.append(json.data(), json.size());
    sealRecordLine(out, start);
}

void beginRecordLine(std::string& out)
{
    out.append("00000000 ");
}

void sealRecordLine(std::string& out, std::size_t lineStart)
{
    std::string_view json(out.data() + lineStart + kRecordPrefix, out.size() - lineStart - kRecordPrefix);
    putChecksum(&out[lineStart], checksumOf(json));
    out += '\n';
}

bool readJournalText(std::string_view text, JournalText& journal, std::string& error)
{
    journal = JournalText{};
    size_t at = 0;
    size_t lineNumber = 0;
    while (at < text.size()) {
        ++lineNumber;
        size_t end = text.find('\n', at);
        std::string_view json;
        if (end != std::string_view::npos && checkedRecord(text.substr(at, end - at), json)) {
            journal.records.push_back(json);
            at = end + 1;
            journal.goodBytes = at;
            continue;
        }
        // A line cut short, or a bad line with nothing after it but what a
        // crash leaves (NUL bytes): the torn end of the last write.
        if (end == std::string_view::npos || onlyNulBytes(text.substr(end + 1))) {
            journal.tornEnd = true;
            return true;
        }
        error = "record " + std::to_string(lineNumber) + " fails its checksum and more follows it";
        return false;
    }
    return true;
}

}  // namespace simplatform
