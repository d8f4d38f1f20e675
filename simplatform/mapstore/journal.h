// The journal's text: one record a line, "<checksum> <JSON>\n", the
// checksum (checksum.h) of the JSON's bytes as 8 lower-case hex digits.
// The JSON never holds a line break (the store writes it compact, control
// bytes escaped).
//
// Reading: every record is checked. The last record may be torn by a crash
// (written in part, or its blocks left as NUL bytes): a line without its
// line break, or a line that fails its check followed by nothing but NUL
// bytes, is a torn end, dropped. A line that fails its check followed by
// anything else means the file is not what was written: the journal is
// refused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace simplatform {

// Appends the record line of json to out.
void appendRecordLine(std::string& out, std::string_view json);
// The bytes of a record line around json (for a writer that makes the JSON
// in place): the prefix has room for the checksum, which sealRecordLine
// fills in once json is complete, adding the line break.
constexpr std::size_t kRecordPrefix = 9;  // 8 hex digits and a space
void beginRecordLine(std::string& out);
void sealRecordLine(std::string& out, std::size_t lineStart);

struct JournalText {
    std::vector<std::string_view> records;  // the JSON of each good record, in order
    std::size_t goodBytes = 0;              // where the good records end
    bool tornEnd = false;                   // bytes after goodBytes were dropped
};

// Splits text into its records. False, and why (the line and what is wrong
// with it), when a record fails its check and something follows it.
bool readJournalText(std::string_view text, JournalText& journal, std::string& error);

}  // namespace simplatform
