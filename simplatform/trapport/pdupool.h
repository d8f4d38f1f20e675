// The PDU records the trap session lends to the program, and the pool they
// go back to.
//
// A record the program gives back (OVsnmpFreePdu) keeps its containers'
// capacity for the next datagram, so a steady stream of traps allocates
// nothing. OVsnmpFreePdu takes back only records that are lent and not yet
// given back; any other pointer is left alone.
#pragma once

#include <memory>

#include "../snmp/pdurecord.h"

namespace simplatform {

// A record from the pool, or a new one when the pool is empty.
std::unique_ptr<PduRecord> takePduRecord();
// A record that was not lent goes back to the pool (while it holds fewer
// than kPoolLimit; otherwise it is freed).
void returnPduRecord(std::unique_ptr<PduRecord> record);
// Lends a built record to the program: its PDU, which the program gives
// back with OVsnmpFreePdu.
SnmpPdu* lendPdu(std::unique_ptr<PduRecord> record);

}  // namespace simplatform
