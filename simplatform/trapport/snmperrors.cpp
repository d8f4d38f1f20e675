// OVsnmpErrno and OVsnmpErrString.
#include "snmperrors.h"

#include <stdio.h>

#include <array>
#include <utility>

#include "../../platform/ovsnmp.h"

int OVsnmpErrno = 0;

namespace simplatform {
namespace {

const char* const kErrorTexts[kSnmpErrors] = {
    "no error",
    "cannot open the trap port",
    "a trap session is already open",
    "the connection to the trap service was lost",
    "not an open trap session",
    "not a PDU delivered by the SNMP library",
    "no callback given for the trap session",
};

// The text of the last failure of each code, when it says more than the
// code's fixed text (the address and the operating system's reason).
std::array<std::string, kSnmpErrors>& errorDetails()
{
    static auto* details = new std::array<std::string, kSnmpErrors>;
    return *details;
}

}  // namespace

void setSnmpError(SnmpError code, std::string detail)
{
    errorDetails()[code] = std::move(detail);
    OVsnmpErrno = code;
}

}  // namespace simplatform

const char* OVsnmpErrString(int error)
{
    if (error >= 0 && error < simplatform::kSnmpErrors) {
        const std::string& detail = simplatform::errorDetails()[static_cast<size_t>(error)];
        return detail.empty() ? simplatform::kErrorTexts[error] : detail.c_str();
    }
    static char unknown[48];
    snprintf(unknown, sizeof unknown, "unknown SNMP library error %d", error);
    return unknown;
}
