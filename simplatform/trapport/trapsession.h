// The trap session: the SNMP library's trap event session (OVsnmpWEventOpen,
// OVsnmpClose) on a UDP socket, as the program and the control port drive it.
#pragma once

#include <string>

namespace simplatform {

// Closes the open session's trap port and delivers kind 57 to its callback.
// False, and why in error, when no session is open or its connection is
// already lost.
bool loseTrapConnection(std::string& error);

}  // namespace simplatform
