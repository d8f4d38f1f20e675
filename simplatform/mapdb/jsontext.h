// JSON written directly as text, for the documents made often or large (the
// state document, a symbol's state, the store's records): no document is
// built first, and the text is what nlohmann's dump would give for the same
// values (compact, not ASCII-escaped, bytes that are not UTF-8 replaced).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace simplatform {

// A string in quotes: quote, backslash and control bytes escaped (\n, \t,
// ... or \u00XX), each ill-formed UTF-8 sequence shown as one U+FFFD.
void appendJsonString(std::string& out, std::string_view text);
// A whole number in decimal.
void appendJsonNumber(std::string& out, std::int64_t value);

// A time as RFC 3339 text in UTC, whole seconds: 2025-01-02T14:02:03Z.
// Seconds since 1970 from year 0 to 9999.
void appendUtcTime(std::string& out, std::int64_t seconds);
// The seconds of such a text; false for any other form or an impossible
// date.
bool parseUtcTime(std::string_view text, std::int64_t& seconds);

}  // namespace simplatform
