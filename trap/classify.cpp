// Trap classification: which recorded UPS a notification comes from, and
// which UPS condition its identifier reports.
#include <stdio.h>
#include <string.h>

#include "../app/debuglog.h"
#include "../map/upsmap.h"
#include "../platform/sockets.h"
#include "../snmptext/snmptext.h"
#include "trapsession.h"

// One known identifier and the condition it reports.
typedef struct TrapRule {
    const char* text;
    int code;
} TrapRule;

// One family of trap identifiers. A text enters the family when it begins
// with prefix (characters, not sub-identifiers: 1.3.6.1.4.1.9350 begins with
// 1.3.6.1.4.1.935). Its rules are then tried in order, on the whole text or,
// for a prefix family, on their own length; the first that matches gives the
// code, none gives othercode (0: no condition).
typedef struct TrapFamily {
    const char* prefix;
    bool ruleisprefix;
    const TrapRule* rules;
    size_t rulecount;
    int othercode;
} TrapFamily;

static const TrapRule upsmanufacturertraps[] = {
    {"1.3.6.1.4.1.935.0.1", 1},   {"1.3.6.1.4.1.935.0.2", 2},   {"1.3.6.1.4.1.935.0.3", 3},
    {"1.3.6.1.4.1.935.0.4", 4},   {"1.3.6.1.4.1.935.0.5", 5},   {"1.3.6.1.4.1.935.0.7", 7},
    {"1.3.6.1.4.1.935.0.8", 8},   {"1.3.6.1.4.1.935.0.9", 9},   {"1.3.6.1.4.1.935.0.10", 10},
    {"1.3.6.1.4.1.935.0.11", 11}, {"1.3.6.1.4.1.935.0.12", 12}, {"1.3.6.1.4.1.935.0.13", 13},
    {"1.3.6.1.4.1.935.0.14", 14}, {"1.3.6.1.4.1.935.0.15", 15},
};

// The standard UPS MIB trap group: on battery, every other trap is a return
// to normal.
static const TrapRule upsmibtraps[] = {
    {"1.3.6.1.2.1.33.2.1", 5},
};

static const TrapRule upsagenttraps[] = {
    {"1.3.6.1.4.1.1356.0.1", 1},  {"1.3.6.1.4.1.1356.0.2", 2}, {"1.3.6.1.4.1.1356.0.3", 12},
    {"1.3.6.1.4.1.1356.0.4", 8},  {"1.3.6.1.4.1.1356.0.5", 9}, {"1.3.6.1.4.1.1356.0.6", 5},
    {"1.3.6.1.4.1.1356.0.8", 10},
};

#define COUNTOF(array) (sizeof(array) / sizeof((array)[0]))

static const TrapFamily trapfamilies[] = {
    {"1.3.6.1.4.1.935", false, upsmanufacturertraps, COUNTOF(upsmanufacturertraps), 0},
    {"1.3.6.1.2.1.33.2", true, upsmibtraps, COUNTOF(upsmibtraps), 9},
    {"1.3.6.1.4.1.1356", false, upsagenttraps, COUNTOF(upsagenttraps), 0},
};

static bool beginswith(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int classifyTrap(const SnmpPdu* pdu)
{
    if (pdu == NULL)
        return 0;
    // The text stays in oidToText's buffer: nothing below calls it again
    // before the comparisons are done.
    const char* text = oidToText(pdu->notify_oid, pdu->notify_oid_length);
    for (size_t f = 0; f < COUNTOF(trapfamilies); f++) {
        const TrapFamily* family = &trapfamilies[f];
        if (!beginswith(text, family->prefix))
            continue;
        for (size_t r = 0; r < family->rulecount; r++) {
            const TrapRule* rule = &family->rules[r];
            bool match = family->ruleisprefix ? beginswith(text, rule->text) : strcmp(text, rule->text) == 0;
            if (match)
                return rule->code;
        }
        return family->othercode;
    }
    logmessage("notify_oid    = %s\n", text);
    logmessage("enterprise    = %s\n", oidToText(pdu->enterprise, pdu->enterprise_length));
    return 0;
}

// The first IPv4 address that the name service gives for name, copied out of
// its static record into address; false when the name does not resolve.
static bool resolvefirst(const char* name, unsigned char address[4])
{
    const struct hostent* host = gethostbyname(name);
    if (host == NULL || host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list == NULL ||
        host->h_addr_list[0] == NULL)
        return false;
    memcpy(address, host->h_addr_list[0], 4);
    return true;
}

// The dotted decimal text of address ("192.168.1.20"); out holds 16 bytes.
// Written by hand rather than with inet_ntoa and a formatted print: the walk
// renders the source for every trap.
static void dottedtext(char out[16], struct in_addr address)
{
    const unsigned char* bytes = (const unsigned char*)&address.s_addr;
    size_t used = 0;
    for (int i = 0; i < 4; i++) {
        unsigned value = bytes[i];
        if (i > 0)
            out[used++] = '.';
        if (value >= 100)
            out[used++] = (char)('0' + value / 100);
        if (value >= 10)
            out[used++] = (char)('0' + value / 10 % 10);
        out[used++] = (char)('0' + value % 10);
    }
    out[used] = '\0';
}

// The trap's source as the name service resolves it. One walk over the table
// resolves it once, when the first host name resolves, and compares every
// later host with that answer instead of asking again for each entry.
typedef struct SourceLookup {
    int state;  // 0: not yet asked, 1: resolved, -1: does not resolve
    unsigned char address[4];
} SourceLookup;

static int matcheshost(const SnmpPdu* pdu, const char* hostname, SourceLookup* source)
{
    if (pdu == NULL || hostname == NULL || pdu->address.sin_family != AF_INET)
        return 0;
    // The name service returns one static record that the next lookup
    // overwrites: the host's address is copied before the source is resolved.
    unsigned char hostaddress[4];
    if (!resolvefirst(hostname, hostaddress))
        return 0;
    if (source->state == 0) {
        char dotted[16];
        dottedtext(dotted, pdu->address.sin_addr);
        source->state = resolvefirst(dotted, source->address) ? 1 : -1;
    }
    if (source->state < 0)
        return 0;
    return memcmp(hostaddress, source->address, 4) == 0 ? 1 : 0;
}

int sourceMatchesHost(const SnmpPdu* pdu, const char* hostname)
{
    SourceLookup source = {0, {0, 0, 0, 0}};
    return matcheshost(pdu, hostname, &source);
}

void searchupshosts(const SnmpPdu* pdu)
{
    SourceLookup source = {0, {0, 0, 0, 0}};
    for (const UpsSymbolEntry* entry = upstablewalk(NULL); entry != NULL; entry = upstablewalk(entry)) {
        logmessage("compare to %s", entry->hostname);
        int matches = matcheshost(pdu, entry->hostname, &source);
        logmessage("comparing= %d", matches);
        if (matches) {
            int code = classifyTrap(pdu);
            if (code != 0)
                showUpsEvent(entry, code);
            return;
        }
    }
}
