// Object identifiers and variable values as text.
//
// Every renderer here that takes a buffer and a size writes at most size
// bytes, NUL included, and writes nothing at all when size is 0 or less.
// Values are read only through their own pointer and length: a null pointer
// is never followed, and no more bytes or sub-identifiers are read than the
// binding says it holds.
#include "snmptext.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// Shared text of the most recent oidToText call.
static char oidtextbuffer[OID_TEXT_SIZE];

// Handed to OVuint64ToStr; nothing reads it.
static int counter64status;

enum {
    // Longest fixed form with its NUL: "(4294967295) 497 days, 23:59:59.99".
    FIXED_TEXT_SIZE = 35,
    // OVuint64ToStr writes up to 20 digits and a NUL and is given no size.
    UINT64_TEXT_SIZE = 21,
    // Duration text with its NUL: "497 days, 23:59:59.99".
    DURATION_TEXT_SIZE = 22,
    // One sub-identifier's decimal digits with their NUL.
    SUBID_TEXT_SIZE = 11
};

// Copies text into buffer, cut to size - 1 characters; nothing when size <= 0.
static void copycut(char* buffer, int32_t size, const char* text)
{
    if (size <= 0)
        return;
    size_t length = strlen(text);
    if (length > (size_t)size - 1)
        length = (size_t)size - 1;
    memcpy(buffer, text, length);
    buffer[length] = '\0';
}

// The decimal digits of value and a NUL; returns the number of digits.
// out holds SUBID_TEXT_SIZE bytes, enough for 4294967295.
static size_t decimaltext(char* out, uint32_t value)
{
    char reversed[SUBID_TEXT_SIZE];
    size_t n = 0;
    do {
        reversed[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; i++)
        out[i] = reversed[n - 1 - i];
    out[n] = '\0';
    return n;
}

const char* oidToText(const uint32_t* subids, uint32_t count)
{
    if (subids == NULL) {
        snprintf(oidtextbuffer, sizeof oidtextbuffer, "%s", "<null>");
        return oidtextbuffer;
    }
    // Sub-identifiers are written whole, dot-separated; one whose text would
    // not fit with the NUL ends the text, so it never ends in a dot.
    size_t used = 0;
    oidtextbuffer[0] = '\0';
    // The digits are produced by hand: this runs for every trap, log on or
    // off, and a formatted print per sub-identifier dominated its cost.
    for (uint32_t i = 0; i < count; i++) {
        char digits[SUBID_TEXT_SIZE];
        size_t n = decimaltext(digits, subids[i]);
        size_t need = n + (used > 0 ? 1 : 0);
        if (used + need + 1 > sizeof oidtextbuffer)
            break;
        if (used > 0)
            oidtextbuffer[used++] = '.';
        memcpy(oidtextbuffer + used, digits, n + 1);
        used += n;
    }
    return oidtextbuffer;
}

bool isTextByte(unsigned char byte)
{
    return (byte >= 9 && byte <= 13) || (byte >= 32 && byte <= 126);
}

void copyTextOctets(char* buffer, int32_t size, const uint8_t* bytes, uint32_t length)
{
    if (size <= 0)
        return;
    if (bytes == NULL)
        length = 0;
    size_t n = length;
    if (n > (size_t)size - 1)
        n = (size_t)size - 1;
    if (n > 0)
        memcpy(buffer, bytes, n);
    buffer[n] = '\0';
}

void hexOctets(char* buffer, int32_t size, const uint8_t* bytes, uint32_t length)
{
    if (size <= 0)
        return;
    if (bytes == NULL)
        length = 0;
    // Each byte is a group "XX "; a group is written only when it and the
    // NUL after it fit, so the text holds (size - 1) / 3 groups at most.
    size_t used = 0;
    buffer[0] = '\0';
    for (uint32_t i = 0; i < length; i++) {
        if (used + 3 + 1 > (size_t)size)
            break;
        snprintf(buffer + used, 4, "%02X ", (unsigned)bytes[i]);
        used += 3;
    }
}

void oidValueText(char* buffer, int32_t size, const uint32_t* subids, uint32_t count)
{
    if (size <= 0)
        return;
    buffer[0] = '\0';
    if (subids == NULL)
        count = 0;
    // Each sub-identifier is appended with its dot when its digits, the dot
    // and the NUL fit; one that does not fit whole is dropped and ends the
    // text. Once fewer than 5 bytes are left no more are taken.
    size_t used = 0;
    for (uint32_t i = 0; i < count; i++) {
        char digits[SUBID_TEXT_SIZE];
        int n = snprintf(digits, sizeof digits, "%u", (unsigned)subids[i]);
        if (used + (size_t)n + 2 > (size_t)size)
            break;
        memcpy(buffer + used, digits, (size_t)n);
        used += (size_t)n;
        buffer[used++] = '.';
        buffer[used] = '\0';
        if ((size_t)size - used < 5)
            break;
    }
    if (used > 0)
        buffer[used - 1] = '\0';
}

void durationText(uint32_t ticks, char* out)
{
    uint32_t days = ticks / 8640000u;
    uint32_t rest = ticks % 8640000u;
    uint32_t hours = rest / 360000u;
    rest %= 360000u;
    uint32_t minutes = rest / 6000u;
    rest %= 6000u;
    uint32_t seconds = rest / 100u;
    uint32_t hundredths = rest % 100u;
    if (days == 0)
        snprintf(out, DURATION_TEXT_SIZE, "%d:%02d:%02d.%02d", (int)hours, (int)minutes, (int)seconds,
                 (int)hundredths);
    else if (days == 1)
        snprintf(out, DURATION_TEXT_SIZE, "%d day, %d:%02d:%02d.%02d", 1, (int)hours, (int)minutes, (int)seconds,
                 (int)hundredths);
    else
        snprintf(out, DURATION_TEXT_SIZE, "%d days, %d:%02d:%02d.%02d", (int)days, (int)hours, (int)minutes,
                 (int)seconds, (int)hundredths);
}

// Writes a fixed form: rendered whole into a scratch, then copied cut to the
// caller's size.
static void fixedtext(char* buffer, int32_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

static void fixedtext(char* buffer, int32_t size, const char* format, ...)
{
    char scratch[FIXED_TEXT_SIZE + 1];
    va_list args;
    va_start(args, format);
    vsnprintf(scratch, sizeof scratch, format, args);
    va_end(args);
    copycut(buffer, size, scratch);
}

// The renderers of the value types, one per type; each reads a value that
// is there.
static void integertext(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    fixedtext(buffer, size, "%d", (int)*binding->value.integer);
}

static void octetstext(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    const uint8_t* bytes = binding->value.string;
    uint32_t length = binding->value_length;
    bool text = true;
    for (uint32_t i = 0; i < length && text; i++)
        text = isTextByte(bytes[i]);
    if (text)
        copyTextOctets(buffer, size, bytes, length);
    else
        hexOctets(buffer, size, bytes, length);
}

static void objectidtext(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    oidValueText(buffer, size, binding->value.oid, binding->value_length);
}

static void unsigned32text(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    fixedtext(buffer, size, "%u", (unsigned)*binding->value.unsigned32);
}

// Four bytes in storage order; a value of any other length is shown as the
// hex of the bytes it has, never read past them.
static void ipaddresstext(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    const uint8_t* bytes = binding->value.string;
    if (binding->value_length == 4)
        fixedtext(buffer, size, "%d.%d.%d.%d", (int)bytes[0], (int)bytes[1], (int)bytes[2], (int)bytes[3]);
    else
        hexOctets(buffer, size, bytes, binding->value_length);
}

static void countertext(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    fixedtext(buffer, size, "%lu", (unsigned long)*binding->value.unsigned32);
}

static void timetickstext(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    uint32_t ticks = *binding->value.unsigned32;
    char duration[DURATION_TEXT_SIZE];
    durationText(ticks, duration);
    fixedtext(buffer, size, "(%u) %s", (unsigned)ticks, duration);
}

static void opaquetext(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    hexOctets(buffer, size, binding->value.string, binding->value_length);
}

// The decimal text of a Counter64. OVuint64ToStr is given no size, so it
// writes straight into the caller's buffer only when that holds its longest
// text; otherwise into a scratch, copied cut.
static void counter64text(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    const SnmpCounter64* value = binding->value.counter64;
    if (size >= UINT64_TEXT_SIZE) {
        buffer[0] = '\0';
        OVuint64ToStr(buffer, value, 10, &counter64status);
        return;
    }
    char scratch[32];
    scratch[0] = '\0';
    OVuint64ToStr(scratch, value, 10, &counter64status);
    scratch[sizeof scratch - 1] = '\0';
    copycut(buffer, size, scratch);
}

// Every type the program shows: a fixed text, or the renderer of its value.
// A type whose value is missing renders as the empty text.
static const struct {
    uint8_t type;
    const char* fixed;
    void (*render)(char* buffer, int32_t size, const SnmpVarBind* binding);
} valueforms[] = {
    {SNMP_TYPE_NULL, "NULL", NULL},
    {SNMP_TYPE_NO_SUCH_OBJECT, "No Such Object", NULL},
    {SNMP_TYPE_NO_SUCH_INSTANCE, "No Such Instance", NULL},
    {SNMP_TYPE_END_OF_MIB_VIEW, "End of MIB View", NULL},
    {SNMP_TYPE_INTEGER, NULL, integertext},
    {SNMP_TYPE_OCTET_STRING, NULL, octetstext},
    {SNMP_TYPE_OBJECT_ID, NULL, objectidtext},
    {SNMP_TYPE_UNSIGNED32, NULL, unsigned32text},
    {SNMP_TYPE_IPADDRESS, NULL, ipaddresstext},
    {SNMP_TYPE_COUNTER, NULL, countertext},
    {SNMP_TYPE_GAUGE, NULL, countertext},
    {SNMP_TYPE_TIMETICKS, NULL, timetickstext},
    {SNMP_TYPE_OPAQUE, NULL, opaquetext},
    {SNMP_TYPE_COUNTER64, NULL, counter64text},
};

void formatValue(char* buffer, int32_t size, const SnmpVarBind* binding)
{
    if (size <= 0)
        return;
    buffer[0] = '\0';
    if (binding == NULL)
        return;
    for (size_t i = 0; i < sizeof valueforms / sizeof valueforms[0]; i++) {
        if (valueforms[i].type != binding->type)
            continue;
        if (valueforms[i].fixed != NULL)
            copycut(buffer, size, valueforms[i].fixed);
        else if (binding->value.string != NULL)
            valueforms[i].render(buffer, size, binding);
        return;
    }
    copycut(buffer, size, "Variable has bad type");
}
