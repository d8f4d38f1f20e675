// The trap port's SNMPv3 security: the users and engine ID read at start,
// the security model they configure when the first trap session opens, and
// the model's verdict on each SNMPv3 datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../snmp/ber.h"
#include "../snmp/usm.h"

namespace simplatform {

// Reads the settings UsmUsers and EngineId (settings.h); false and the
// fault (file, line) in error when either is bad. No cryptography runs
// here: the engine's clock starts, and the keys begin to be derived, when
// the next trap session opens.
bool configureTrapSecurity(std::string& error);

// Configures the security model with what configureTrapSecurity read, once:
// the engine's clock starts, and the users' keys are derived from then on,
// one user a turn of the loop (a timer), not before this returns. False
// and the reason when the cryptographic library cannot derive them.
bool startTrapSecurity(std::string& error);
// The users whose keys are derived so far.
size_t trapUsersWithKeys();

// One SNMPv3 datagram judged by the security model now (usm.h).
usm::Outcome receiveSecured(const uint8_t* data, size_t size, ber::Message& out, std::vector<uint8_t>& reply);

}  // namespace simplatform
