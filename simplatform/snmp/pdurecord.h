// The SnmpPdu record the program is handed, built from a decoded message.
#pragma once

#include <cstdint>
#include <vector>

#include "../../platform/ovsnmp.h"
#include "ber.h"

namespace simplatform {

// One PDU handed to the program: the record and everything it points into.
// The record must not move once built (it is allocated on its own).
struct PduRecord {
    SnmpPdu pdu{};
    ber::Message message;
    std::vector<SnmpVarBind> varbinds;
    std::vector<uint32_t> derived;  // an SNMPv1 trap's notify_oid
};

// Fills record.pdu from record.message, decoded from a datagram of sender:
//   every PDU: address = sender, command = PDU tag, version, community;
//   SNMPv1 trap: enterprise, agent_addr, generic_type, specific_type and
//     time_stamp from the Trap-PDU, variables = all bindings, notify_oid =
//     enterprise.0.specific for generic 6, else 1.3.6.1.6.3.1.1.5.(generic+1);
//   inform and SNMPv2 trap: request_id, error_status, error_index;
//     time_stamp = sysUpTime.0, notify_oid = snmpTrapOID.0, enterprise =
//     snmpTrapEnterprise.0 when a later binding carries it, otherwise
//     notify_oid less its last sub-identifier and less a 0 then left at its
//     end; agent_addr = snmpTrapAddress.0 when a later binding carries it,
//     otherwise the sender's address; variables = the bindings after the
//     first two; generic_type and specific_type as an SNMPv1 trap of the
//     same identifier would have them (a standard trap 1.3.6.1.6.3.1.1.5.N:
//     N-1 and 0; any other: 6 and the last sub-identifier);
//   Response: request_id, error_status, error_index, variables = all.
// Pointers into the message are valid until the record is reused.
void buildPdu(PduRecord& record, const sockaddr_in& sender);

}  // namespace simplatform
