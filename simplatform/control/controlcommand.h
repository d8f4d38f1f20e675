// The control port's commands: a verb table given by whoever opens the
// port, and the parser that reads one command line against it.
//
// A line is a verb and at most one argument, read as the verb's row says;
// blanks around them are ignored, and a CR before the newline too. Every
// refusal names its reason, and text from the wire in it is quoted safely.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simplatform {

// How a verb's argument is read from the rest of the line.
enum class Argument {
    None,         // nothing may follow
    Text,         // the rest of the line, blanks around it removed, no control bytes
    SymbolId,     // 0 to 4294967295
    EventCode,    // 0 to 2147483647
    OptionalFlag  // -2147483648 to 2147483647, 1 when left out
};

struct ControlVerb;

struct ControlCommand {
    const ControlVerb* verb = nullptr;
    std::string text;    // a Text argument
    int64_t number = 0;  // a number argument
};

// One command of the control port: its name, its argument and what it does.
struct ControlVerb {
    const char* name;
    Argument argument;
    const char* form;  // the argument as a usage shows it ("PATH", "[FLAG]"); "" for none
    const char* what;  // the argument's name in error texts
    const char* help;  // what the command does, one line
    // Carries out the command and returns its reply line without the
    // newline. Program handlers run inside; the program may end the process.
    std::string (*run)(const ControlCommand& command);
};

using ControlVerbs = std::vector<ControlVerb>;

// Parses one line (its newline removed; a CR before it is ignored) into a
// command of one of verbs. False and the reason when the line is not a valid
// command. Touches nothing else.
bool parseControlCommand(const ControlVerbs& verbs, std::string_view line, ControlCommand& command,
                         std::string& error);

// Parses and carries out one line; the reply line without its newline.
std::string answerControlLine(const ControlVerbs& verbs, std::string_view line);

// Text from the wire, safe to quote in a reply: at most kQuotedBytes bytes,
// anything but printable ASCII shown as '?', in double quotes.
constexpr size_t kQuotedBytes = 40;
std::string quotedText(std::string_view text);

}  // namespace simplatform
