// The control port's command parser: a line, a verb of the table and its
// argument, each refusal with its reason.
#include "controlcommand.h"

#include <cstdint>

namespace simplatform {
namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A decimal number within [low, high]; a minus sign only where low < 0.
bool parseNumber(std::string_view word, int64_t low, int64_t high, int64_t& value)
{
    bool negative = !word.empty() && word.front() == '-' && low < 0;
    if (negative) {
        word.remove_prefix(1);
    }
    if (word.empty()) {
        return false;
    }
    int64_t n = 0;
    for (char c : word) {
        if (c < '0' || c > '9' || n > (INT64_MAX - 9) / 10) {
            return false;
        }
        n = n * 10 + (c - '0');
    }
    n = negative ? -n : n;
    if (n < low || n > high) {
        return false;
    }
    value = n;
    return true;
}

bool hasControlBytes(std::string_view text)
{
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string quotedText(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < kQuotedBytes; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    }
    if (text.size() > kQuotedBytes) {
        out += "...";
    }
    return out + "\"";
}

bool parseControlCommand(const ControlVerbs& verbs, std::string_view line, ControlCommand& command,
                         std::string& error)
{
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    line = trimmed(line);
    if (line.empty()) {
        error = "empty line";
        return false;
    }
    size_t blank = 0;
    while (blank < line.size() && !isBlank(line[blank])) {
        ++blank;
    }
    std::string_view word = line.substr(0, blank);
    std::string_view rest = trimmed(line.substr(blank));

    const ControlVerb* row = nullptr;
    for (const ControlVerb& candidate : verbs) {
        if (word == candidate.name) {
            row = &candidate;
            break;
        }
    }
    if (row == nullptr) {
        error = "unknown command " + quotedText(word);
        return false;
    }

    ControlCommand parsed;
    parsed.verb = row;
    if (row->argument == Argument::None) {
        if (!rest.empty()) {
            error = std::string(row->name) + " takes no argument";
            return false;
        }
        command = parsed;
        return true;
    }
    if (rest.empty()) {
        if (row->argument == Argument::OptionalFlag) {
            parsed.number = 1;
            command = parsed;
            return true;
        }
        error = std::string(row->name) + " needs " + row->what;
        return false;
    }
    if (row->argument == Argument::Text) {
        if (hasControlBytes(rest)) {
            error = std::string(row->name) + ": control characters in " + row->what;
            return false;
        }
        parsed.text = std::string(rest);
        command = parsed;
        return true;
    }
    for (char c : rest) {
        if (isBlank(c)) {
            error = std::string(row->name) + " takes one argument, " + row->what;
            return false;
        }
    }
    int64_t low = 0;
    int64_t high = INT32_MAX;
    if (row->argument == Argument::SymbolId) {
        high = UINT32_MAX;
    } else if (row->argument == Argument::OptionalFlag) {
        low = INT32_MIN;
    }
    if (!parseNumber(rest, low, high, parsed.number)) {
        error = std::string(row->name) + ": " + quotedText(rest) + " is not " + row->what + " (" +
                std::to_string(low) + " to " + std::to_string(high) + ")";
        return false;
    }
    command = parsed;
    return true;
}

std::string answerControlLine(const ControlVerbs& verbs, std::string_view line)
{
    ControlCommand command;
    std::string error;
    return parseControlCommand(verbs, line, command, error) ? command.verb->run(command) : "error " + error;
}

}  // namespace simplatform
