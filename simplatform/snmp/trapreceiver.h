// The trap receiver (the SNMP library's trap event session), as the control
// port drives it.
#pragma once

#include <string>

namespace simplatform {

// Reads the settings UsmUsers and EngineId (settings.h) for the trap
// port's SNMPv3 security; false and the fault (file, line) in error when
// either is bad. No cryptography runs here: the keys are derived, and the
// engine's clock starts, when the next trap session opens.
bool configureTrapSecurity(std::string& error);

// Closes the open session's trap port and delivers kind 57 to its callback.
// Empty on success, otherwise the reason (no session open, or already lost).
std::string loseTrapConnection();

}  // namespace simplatform
