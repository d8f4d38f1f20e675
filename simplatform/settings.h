// The platform's settings: environment variables.
#pragma once

#include <string>

namespace simplatform {

// The value of an environment variable, or fallback when it is unset. A
// variable set to the empty string counts as unset.
std::string setting(const char* name, const char* fallback);
// The same without a copy: the value, or null when unset or empty. For
// settings read on every turn.
const char* settingValue(const char* name);

}  // namespace simplatform
