// The trap session, PDU logging and trap classification.
#ifndef KELVOROV_TRAP_TRAPSESSION_H
#define KELVOROV_TRAP_TRAPSESSION_H

#include "../platform/ovsnmp.h"

extern SnmpSession* trapsession;

void openTrapSession(void);
void process_pdu(int kind, SnmpSession* session, SnmpPdu* pdu, void* userdata);
// Dotted text of the PDU's IPv4 source, in the program's own buffer;
// "Unknown" for any other source.
const char* sourceAddressText(const SnmpPdu* pdu);
// 1 when the PDU comes from hostname, else 0.
int sourceMatchesHost(const SnmpPdu* pdu, const char* hostname);
// The UPS condition code of the PDU's notification identifier, or 0 for none.
int classifyTrap(const SnmpPdu* pdu);
// The host search of an SNMPv2 trap or inform: walks the UPS symbol table and
// shows the trap's condition on the first entry whose host sent it.
void searchupshosts(const SnmpPdu* pdu);

#endif
