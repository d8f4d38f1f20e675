// The platform's settings.
//
// Settings read on every turn (settingValue) come from one pass over the
// environment per turn, made at the turn's first such read: getenv walks the
// whole environment with a string comparison per variable, and a trap's turn
// reads these settings up to a dozen times (the hosts file, whether the
// console line is shown, the state file, and the drive folder once per debug
// log record). The pass copies the platform's variables into a buffer
// of its own, which holds until the turn ends: a value put into the
// environment in the middle of a turn is seen from the next turn on, and
// nothing a caller holds points into the environment itself.
#include "settings.h"

#include <stdlib.h>
#include <string.h>

#include "handover.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace simplatform {
namespace {

#ifndef _WIN32
constexpr char kPrefix[] = "SIMPLATFORM_";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr size_t kMaxVariables = 32;
constexpr size_t kTextBytes = 16384;

struct Variable {
    const char* name;   // "SIMPLATFORM_NAME=value" in text
    size_t nameLength;  // of "SIMPLATFORM_NAME"
};

struct TurnSettings {
    bool taken = false;
    bool complete = true;  // false: more than the buffer holds; getenv then
    size_t count = 0;
    Variable variables[kMaxVariables];
    char text[kTextBytes];
};

TurnSettings& turnSettings()
{
    static TurnSettings settings;
    return settings;
}

void forgetTurnSettings()
{
    turnSettings().taken = false;
}

void takeTurnSettings(TurnSettings& s)
{
    s.taken = true;
    s.complete = true;
    s.count = 0;
    atTurnEnd(forgetTurnSettings);
    size_t used = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        // Most variables are not the platform's: their first byte says so.
        if ((*entry)[0] != kPrefix[0] || strncmp(*entry, kPrefix, kPrefixLength) != 0) {
            continue;
        }
        size_t length = strlen(*entry) + 1;
        if (s.count == kMaxVariables || length > kTextBytes - used) {
            s.complete = false;
            return;
        }
        const char* equals = strchr(*entry, '=');
        if (equals == nullptr) {
            continue;
        }
        memcpy(s.text + used, *entry, length);
        s.variables[s.count++] = Variable{s.text + used, static_cast<size_t>(equals - *entry)};
        used += length;
    }
}
#endif

const char* nonEmpty(const char* value)
{
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

// An empty value counts as unset, so that `NAME= kelvorov` switches a
// setting off as a shell user expects.
std::string setting(const char* name, const char* fallback)
{
    const char* value = nonEmpty(getenv(name));
    if (value == nullptr) {
        return fallback != nullptr ? fallback : "";
    }
    return value;
}

// Windows' environment is not case-sensitive, which getenv knows: there it
// is asked each time.
const char* settingValue(const char* name)
{
#ifndef _WIN32
    TurnSettings& s = turnSettings();
    if (!s.taken) {
        takeTurnSettings(s);
    }
    size_t length = strlen(name);
    if (s.complete && strncmp(name, kPrefix, kPrefixLength) == 0) {
        for (size_t i = 0; i < s.count; ++i) {
            const Variable& v = s.variables[i];
            if (v.nameLength == length &&
                memcmp(v.name + kPrefixLength, name + kPrefixLength, length - kPrefixLength) == 0) {
                return nonEmpty(v.name + length + 1);
            }
        }
        return nullptr;
    }
#endif
    return nonEmpty(getenv(name));
}

}  // namespace simplatform
