// The control port's command parser over arbitrary lines.
//
// The input is split at line feeds, as the port splits its stream, and each
// line is parsed. Checked besides the sanitizers' findings: a refused line
// has a reason; an accepted one has a known verb, and a text argument that
// is not empty, carries no control bytes and has no blanks around it.
#include <cstdint>
#include <string>
#include <string_view>

#include "../simplatform/controlverbs.h"
#include "fuzzcommon.h"

namespace {

void checkLine(std::string_view line)
{
    simplatform::ControlCommand command;
    std::string error;
    const simplatform::ControlVerbs& verbs = simplatform::controlVerbs();
    if (!simplatform::parseControlCommand(verbs, line, command, error)) {
        FUZZ_CHECK(!error.empty(), "a refused line without a reason");
        return;
    }
    FUZZ_CHECK(command.verb >= verbs.data() && command.verb < verbs.data() + verbs.size(),
               "a verb outside the table");
    if (command.verb->argument == simplatform::Argument::Text) {
        const std::string& text = command.text;
        FUZZ_CHECK(!text.empty() && text.front() != ' ' && text.front() != '\t' && text.back() != ' ' &&
                       text.back() != '\t',
                   "text argument \"%s\"", text.c_str());
        for (char c : text) {
            unsigned char u = static_cast<unsigned char>(c);
            FUZZ_CHECK(u >= 32 && u != 127, "control byte %d in a text argument", u);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (true) {
        size_t newline = input.find('\n');
        checkLine(input.substr(0, newline));
        if (newline == std::string_view::npos) {
            break;
        }
        input.remove_prefix(newline + 1);
    }
    return 0;
}
