// The trap event session and the logging of every PDU it delivers.
//
// Every PDU goes back to the platform through OVsnmpFreePdu before
// process_pdu returns, whatever its kind; a null PDU is never read.
#include "trapsession.h"

#include <stdio.h>
#include <string.h>

#include "../app/debuglog.h"
#include "../snmptext/snmptext.h"

SnmpSession* trapsession = NULL;

enum {
    COMMUNITY_BUFFER_SIZE = 256,
    VALUE_BUFFER_SIZE = 256,
    // Dotted IPv4 text with its NUL.
    ADDRESS_TEXT_SIZE = 16
};

// The program's own copy of the last source address shown; inet_ntoa's
// buffer is reused by the next call.
static char sourceaddress[ADDRESS_TEXT_SIZE] = "Unknown";
static char communitybuffer[COMMUNITY_BUFFER_SIZE];
static char valuebuffer[VALUE_BUFFER_SIZE];

static const char* errortext(void)
{
    const char* text = OVsnmpErrString(OVsnmpErrno);
    return text != NULL ? text : "";
}

void openTrapSession(void)
{
    trapsession = OVsnmpWEventOpen(NULL, "KELVOR32", process_pdu, NULL, ".*");
    if (trapsession != NULL) {
        writeDebugLog("OVsnmpEventOpen ok:", 0);
        trapsession->flags |= SNMP_SESSION_OPTION_0x08;
    } else {
        logmessage("OVsnmpEventOpen failed:\n%s", errortext());
    }
}

const char* sourceAddressText(const SnmpPdu* pdu)
{
    if (pdu != NULL && pdu->address.sin_family == AF_INET)
        snprintf(sourceaddress, sizeof sourceaddress, "%s", inet_ntoa(pdu->address.sin_addr));
    else
        snprintf(sourceaddress, sizeof sourceaddress, "%s", "Unknown");
    return sourceaddress;
}

// The community bytes as text, cut to the buffer; a NUL among them ends the
// text early.
static const char* communitytext(const SnmpPdu* pdu)
{
    size_t length = pdu->community != NULL ? pdu->community_len : 0;
    if (length > sizeof communitybuffer - 1)
        length = sizeof communitybuffer - 1;
    if (length > 0)
        memcpy(communitybuffer, pdu->community, length);
    communitybuffer[length] = '\0';
    return communitybuffer;
}

// The address lines that every trap and inform begins with.
static void logaddresses(const SnmpPdu* pdu)
{
    logmessage("Source Addr   = \"%s\"\n", sourceAddressText(pdu));
    logmessage("agent_addr    = \"%s\"\n", inet_ntoa(pdu->agent_addr));
    logmessage("community     = \"%s\"\n", communitytext(pdu));
}

// One record per binding; logmessage cuts a value too long for the message
// buffer, so the record keeps its closing quote and line end.
static void logvariables(const SnmpPdu* pdu)
{
    int number = 1;
    for (const SnmpVarBind* binding = pdu->variables; binding != NULL; binding = binding->next) {
        formatValue(valuebuffer, sizeof valuebuffer, binding);
        logmessage("VarBind #%-5d= \"%s\"\n", number, valuebuffer);
        number++;
    }
}

// The field records feed only the log: with the log off their texts are not
// composed at all, which spares every trap several renderings.
static void logtrapv1(const SnmpPdu* pdu)
{
    if (debuglogenabled == 0)
        return;
    logaddresses(pdu);
    logmessage("enterprise    = %s\n", oidToText(pdu->enterprise, pdu->enterprise_length));
    logmessage("generic_type  = %d\n", (int)pdu->generic_type);
    logmessage("specific_type = %d\n", (int)pdu->specific_type);
    logmessage("time-stamp    = %u\n", (unsigned)pdu->time_stamp);
    logvariables(pdu);
}

static void logtrapv2(const SnmpPdu* pdu)
{
    if (debuglogenabled == 0)
        return;
    logaddresses(pdu);
    logmessage("notify_oid    = %s\n", oidToText(pdu->notify_oid, pdu->notify_oid_length));
    logmessage("enterprise    = %s\n", oidToText(pdu->enterprise, pdu->enterprise_length));
    logmessage("time-stamp    = %u\n", (unsigned)pdu->time_stamp);
}

void process_pdu(int kind, SnmpSession* session, SnmpPdu* pdu, void* userdata)
{
    (void)userdata;
    writeDebugLog("process_pdu", 0);

    switch (kind) {
    case SNMP_KIND_TRAP_V1:
        logmessage("Received TRAP in SNMPv1 format:\n");
        if (pdu != NULL)
            logtrapv1(pdu);
        break;
    case SNMP_KIND_INFORM:
    case SNMP_KIND_TRAP_V2:
        logmessage("Received %s in SNMPv2 format:\n", kind == SNMP_KIND_INFORM ? "INFORM" : "TRAP");
        if (pdu != NULL) {
            logtrapv2(pdu);
            searchupshosts(pdu);
        }
        break;
    case SNMP_KIND_LOST_CONNECTION:
        logmessage("Lost Connection: %s\n", errortext());
        if (session != NULL) {
            OVsnmpClose(session);
            if (trapsession == session)
                trapsession = NULL;
        }
        break;
    default:
        logmessage("Unexpected callback type, %d\n", kind);
        break;
    }

    OVsnmpFreePdu(pdu);
}
