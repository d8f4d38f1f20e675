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
// the engine's boots are taken and its clock starts, and the users' keys are
// derived from then on, one user a turn of the loop (a timer), not before
// this returns. False and the reason when the cryptographic library fails.
bool startTrapSecurity(std::string& error);
// The users whose keys are derived so far.
size_t trapUsersWithKeys();

// The engine's boots as the clock gives them: the seconds since
// 2025-01-01T00:00:00Z (now in seconds since 1970), at least 1 and below
// 2^31-1, so that they grow from one start to the next while the clock
// moves forward, until 2093.
uint32_t engineBootsFromClock(int64_t now);
// What keeps the engine's boots across starts (the store, which the wiring
// installs): given the clock's boots, it returns the boots of this start,
// above the last ones it stored, once it has stored them. Without one the
// clock's boots are used.
using EngineBootsKeeper = uint32_t (*)(uint32_t fromClock);
void setEngineBootsKeeper(EngineBootsKeeper keeper);

// One SNMPv3 datagram judged by the security model now (usm.h).
usm::Outcome receiveSecured(const uint8_t* data, size_t size, ber::Message& out, std::vector<uint8_t>& reply);

}  // namespace simplatform
