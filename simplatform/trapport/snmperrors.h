// The SNMP library's failures: OVsnmpErrno's codes and the texts
// OVsnmpErrString gives for them.
#pragma once

#include <string>

namespace simplatform {

enum SnmpError {
    kNoError = 0,
    kTrapPortUnavailable = 1,
    kSessionAlreadyOpen = 2,
    kConnectionLost = 3,
    kUnknownSession = 4,
    kUnknownPdu = 5,
    kNoCallback = 6,
    kSnmpErrors
};

// Sets OVsnmpErrno to code. OVsnmpErrString gives detail for the code, when
// there is one (the address and the operating system's reason), until the
// code's next failure; otherwise the code's fixed text.
void setSnmpError(SnmpError code, std::string detail = std::string());

}  // namespace simplatform
