// The platform's settings: environment variables.
#pragma once

#include <string>

namespace simplatform {

// The value of an environment variable, or fallback when it is unset. A
// variable set to the empty string counts as unset.
std::string setting(const char* name, const char* fallback);
// The same without a copy, for settings read on every turn: the value, or
// null when unset or empty, as it was at the turn's first settingValue.
// The text is good until the turn ends (handover.h).
const char* settingValue(const char* name);

}  // namespace simplatform
