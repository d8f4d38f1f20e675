// Object identifiers and variable values as text.
#ifndef KELVOROV_SNMPTEXT_SNMPTEXT_H
#define KELVOROV_SNMPTEXT_SNMPTEXT_H

#include <stdint.h>

#include "../platform/ovsnmp.h"

// The longest identifier a PDU can carry has 128 sub-identifiers; each takes
// at most eleven characters with its dot.
enum {
    OID_TEXT_SIZE = 128 * 11 + 1
};

// Dotted decimal text in one shared static buffer: "<null>" for a null
// pointer, empty for count 0. The pointer is the same for every call.
const char* oidToText(const uint32_t* subids, uint32_t count);

// The value of one binding as bare text, at most size - 1 characters.
void formatValue(char* buffer, int32_t size, const SnmpVarBind* binding);

bool isTextByte(unsigned char byte);
void copyTextOctets(char* buffer, int32_t size, const uint8_t* bytes, uint32_t length);
void hexOctets(char* buffer, int32_t size, const uint8_t* bytes, uint32_t length);
void oidValueText(char* buffer, int32_t size, const uint32_t* subids, uint32_t count);
// out must hold at least 22 bytes.
void durationText(uint32_t ticks, char* out);

#endif
