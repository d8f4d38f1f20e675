// The trap receiver (the SNMP library's trap event session), as the control
// port drives it.
#pragma once

#include <string>

namespace simplatform {

// Closes the open session's trap port and delivers kind 57 to its callback.
// Empty on success, otherwise the reason (no session open, or already lost).
std::string loseTrapConnection();

}  // namespace simplatform
