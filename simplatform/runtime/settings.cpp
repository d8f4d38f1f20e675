// The platform's settings.
//
// Settings read on every turn (settingValue) come from one pass over the
// environment per turn, made at the turn's first such read: getenv walks the
// whole environment with a string comparison per variable, and a trap's turn
// reads these settings up to a dozen times (the hosts file, whether the
// console line is shown, and the drive folder once per debug
// log record). The pass copies the values of the table's per-turn settings
// into a buffer of its own, which holds until the turn ends: a value put
// into the environment in the middle of a turn is seen from the next turn
// on, and nothing a caller holds points into the environment itself.
#include "settings.h"

#include <stdlib.h>
#include <string.h>

#include <iterator>

#include "handover.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace simplatform {
namespace {

enum class Reading : uint8_t {
    Once,
    PerTurn
};

struct SettingRow {
    Setting setting;
    const char* name;
    const char* fallback;  // when unset
    Reading reading;
};

// Every setting of the platform, in the order of Setting.
constexpr SettingRow kSettings[] = {
    {Setting::Map, "SIMPLATFORM_MAP", "", Reading::Once},
    {Setting::ControlAddr, "SIMPLATFORM_CONTROL_ADDR", "127.0.0.1:1620", Reading::Once},
    {Setting::HttpAddr, "SIMPLATFORM_HTTP_ADDR", "127.0.0.1:1621", Reading::Once},
    {Setting::TrapAddr, "SIMPLATFORM_TRAP_ADDR", "0.0.0.0:162", Reading::Once},
    {Setting::ReceiveBuffer, "SIMPLATFORM_RECEIVE_BUFFER", "1048576", Reading::Once},
    {Setting::UsmUsers, "SIMPLATFORM_USM_USERS", "", Reading::Once},
    {Setting::EngineId, "SIMPLATFORM_ENGINE_ID", "", Reading::Once},
    {Setting::State, "SIMPLATFORM_STATE", "", Reading::Once},
    {Setting::Hosts, "SIMPLATFORM_HOSTS", "", Reading::PerTurn},
    // Unset: ~/.simplatform/drive_c, which the drive paths build from Home.
    {Setting::DriveC, "SIMPLATFORM_DRIVE_C", "", Reading::PerTurn},
    {Setting::Quiet, "SIMPLATFORM_QUIET", "", Reading::PerTurn},
    {Setting::Home, "HOME", "", Reading::PerTurn},
};
constexpr size_t kSettingCount = std::size(kSettings);

constexpr bool inOrder()
{
    for (size_t i = 0; i < kSettingCount; ++i) {
        if (static_cast<size_t>(kSettings[i].setting) != i) {
            return false;
        }
    }
    return true;
}
static_assert(inOrder(), "kSettings lists every Setting in its order");

const SettingRow& rowOf(Setting which)
{
    return kSettings[static_cast<size_t>(which)];
}

const char* nonEmpty(const char* value)
{
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

#ifndef _WIN32
constexpr size_t kTextBytes = 16384;

struct TurnSettings {
    bool taken = false;
    bool complete = true;  // false: more than the buffer holds; getenv then
    bool found[kSettingCount] = {};
    const char* values[kSettingCount] = {};  // into text; null when unset or empty
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

// The per-turn setting that entry ("NAME=value") sets, or kSettingCount.
size_t perTurnSettingOf(const char* entry)
{
    for (size_t i = 0; i < kSettingCount; ++i) {
        const SettingRow& row = kSettings[i];
        // Most variables are not the platform's: their first byte says so.
        if (row.reading != Reading::PerTurn || entry[0] != row.name[0]) {
            continue;
        }
        size_t length = strlen(row.name);
        if (strncmp(entry, row.name, length) == 0 && entry[length] == '=') {
            return i;
        }
    }
    return kSettingCount;
}

void takeTurnSettings(TurnSettings& s)
{
    s.taken = true;
    s.complete = true;
    for (size_t i = 0; i < kSettingCount; ++i) {
        s.found[i] = false;
        s.values[i] = nullptr;
    }
    atTurnEnd(forgetTurnSettings);
    size_t used = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        size_t i = perTurnSettingOf(*entry);
        if (i == kSettingCount || s.found[i]) {
            continue;  // getenv too takes a name's first entry
        }
        const char* value = *entry + strlen(kSettings[i].name) + 1;
        size_t length = strlen(value) + 1;
        if (length > kTextBytes - used) {
            s.complete = false;
            return;
        }
        memcpy(s.text + used, value, length);
        s.found[i] = true;
        s.values[i] = nonEmpty(s.text + used);
        used += length;
    }
}
#endif

}  // namespace

const char* settingName(Setting which)
{
    return rowOf(which).name;
}

const char* settingDefault(Setting which)
{
    return rowOf(which).fallback;
}

// An empty value counts as unset, so that `NAME= kelvorov` switches a
// setting off as a shell user expects.
std::string setting(Setting which)
{
    const SettingRow& row = rowOf(which);
    const char* value = nonEmpty(getenv(row.name));
    return value != nullptr ? value : row.fallback;
}

// Windows' environment is not case-sensitive, which getenv knows: there it
// is asked each time.
const char* settingValue(Setting which)
{
    const SettingRow& row = rowOf(which);
#ifndef _WIN32
    if (row.reading == Reading::PerTurn) {
        TurnSettings& s = turnSettings();
        if (!s.taken) {
            takeTurnSettings(s);
        }
        if (s.complete) {
            return s.values[static_cast<size_t>(which)];
        }
    }
#endif
    return nonEmpty(getenv(row.name));
}

}  // namespace simplatform
