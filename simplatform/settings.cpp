// The platform's settings.
#include "settings.h"

#include <stdlib.h>

namespace simplatform {

// An empty value counts as unset, so that `NAME= kelvorov` switches a
// setting off as a shell user expects.
std::string setting(const char* name, const char* fallback)
{
    const char* value = settingValue(name);
    if (value == nullptr) {
        return fallback != nullptr ? fallback : "";
    }
    return value;
}

const char* settingValue(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace simplatform
