// JSON text written directly, and UTC times as RFC 3339 text.
#include "jsontext.h"

namespace simplatform {
namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

void appendEscaped(std::string& out, unsigned char c)
{
    switch (c) {
    case '"':
        out += "\\\"";
        break;
    case '\\':
        out += "\\\\";
        break;
    case '\b':
        out += "\\b";
        break;
    case '\f':
        out += "\\f";
        break;
    case '\n':
        out += "\\n";
        break;
    case '\r':
        out += "\\r";
        break;
    case '\t':
        out += "\\t";
        break;
    default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
        break;
    }
}

// The bytes that follow a lead byte, and the range its first follower must
// lie in (no overlong forms, no surrogates, nothing past U+10FFFF); 0
// followers for a byte that cannot lead.
struct Lead {
    int followers;
    unsigned char low;
    unsigned char high;
};

Lead leadOf(unsigned char c)
{
    if (c >= 0xC2 && c <= 0xDF) {
        return {1, 0x80, 0xBF};
    }
    if (c >= 0xE0 && c <= 0xEF) {
        return {2, static_cast<unsigned char>(c == 0xE0 ? 0xA0 : 0x80),
                static_cast<unsigned char>(c == 0xED ? 0x9F : 0xBF)};
    }
    if (c >= 0xF0 && c <= 0xF4) {
        return {3, static_cast<unsigned char>(c == 0xF0 ? 0x90 : 0x80),
                static_cast<unsigned char>(c == 0xF4 ? 0x8F : 0xBF)};
    }
    return {0, 0, 0};
}

// Days since 1970-01-01 of a date (proleptic Gregorian calendar).
std::int64_t daysFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    std::int64_t yearOfEra = year - era * 400;
    std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct Civil {
    std::int64_t year;
    int month;
    int day;
};

Civil civilFromDays(std::int64_t days)
{
    days += 719468;
    std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    std::int64_t dayOfEra = days - era * 146097;
    std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    std::int64_t mp = (5 * dayOfYear + 2) / 153;
    int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

void appendDigits(std::string& out, std::int64_t value, int width)
{
    char digits[8];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, static_cast<size_t>(width));
}

// The number of width digits at text[at]; false when they are not digits.
bool readDigits(std::string_view text, size_t at, int width, int& value)
{
    value = 0;
    for (int i = 0; i < width; ++i) {
        char c = text[at + static_cast<size_t>(i)];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

constexpr std::int64_t kFirstSecond = -62167219200;  // 0000-01-01T00:00:00Z
constexpr std::int64_t kLastSecond = 253402300799;   // 9999-12-31T23:59:59Z

}  // namespace

// Each ill-formed sequence is one U+FFFD, and the byte that showed it
// ill-formed is read again as the start of what follows, as nlohmann's
// dump does with error_handler_t::replace.
void appendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == '"' || c == '\\') {
                appendEscaped(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        Lead lead = leadOf(c);
        size_t j = 1;
        for (; lead.followers > 0 && j <= static_cast<size_t>(lead.followers); ++j) {
            if (i + j >= text.size()) {
                break;
            }
            auto next = static_cast<unsigned char>(text[i + j]);
            if (next < (j == 1 ? lead.low : 0x80) || next > (j == 1 ? lead.high : 0xBF)) {
                break;
            }
        }
        if (lead.followers > 0 && j == static_cast<size_t>(lead.followers) + 1) {
            out.append(text.data() + i, j);
            i += j;
        } else {
            out += kReplacement;
            i = lead.followers == 0 ? i + 1 : i + j;
        }
    }
    out += '"';
}

void appendJsonNumber(std::string& out, std::int64_t value)
{
    char digits[24];
    size_t start = sizeof digits;
    std::uint64_t v = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        digits[--start] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0) {
        digits[--start] = '-';
    }
    out.append(digits + start, sizeof digits - start);
}

void appendUtcTime(std::string& out, std::int64_t seconds)
{
    seconds = seconds < kFirstSecond ? kFirstSecond : seconds > kLastSecond ? kLastSecond : seconds;
    std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    std::int64_t inDay = seconds - days * 86400;
    Civil date = civilFromDays(days);
    appendDigits(out, date.year, 4);
    out += '-';
    appendDigits(out, date.month, 2);
    out += '-';
    appendDigits(out, date.day, 2);
    out += 'T';
    appendDigits(out, inDay / 3600, 2);
    out += ':';
    appendDigits(out, inDay / 60 % 60, 2);
    out += ':';
    appendDigits(out, inDay % 60, 2);
    out += 'Z';
}

bool parseUtcTime(std::string_view text, std::int64_t& seconds)
{
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) || !readDigits(text, 8, 2, day) ||
        !readDigits(text, 11, 2, hour) || !readDigits(text, 14, 2, minute) || !readDigits(text, 17, 2, second)) {
        return false;
    }
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0) ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    seconds = daysFromCivil(year, month, day) * 86400 + std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 +
              second;
    return true;
}

}  // namespace simplatform
