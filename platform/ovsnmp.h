/*
 * SNMP library and base library: the trap event session, the PDU records it
 * delivers, their release, error texts and 64-bit number text.
 *
 * Records keep the platform's field order and widths; in a 32-bit build
 * their byte offsets are the platform's own, checked at the end of this file.
 * PDUs belong to the library and go back through OVsnmpFreePdu. On Windows
 * the SNMP library's names are ovsnmp.dll's (ovsnmp.def), OVuint64ToStr is
 * the base library ov.dll's (ov.def); see linkage.h.
 */
#ifndef KELVOROV_PLATFORM_OVSNMP_H
#define KELVOROV_PLATFORM_OVSNMP_H

#include <stddef.h>
#include <stdint.h>

#include "linkage.h"
#include "sockets.h"

/* Kinds of session event handed to the callback. */
enum {
    SNMP_KIND_LOST_CONNECTION = 57,
    SNMP_KIND_TRAP_V1 = 164, /* BER tag of the SNMPv1 Trap-PDU */
    SNMP_KIND_INFORM = 166,  /* InformRequest-PDU */
    SNMP_KIND_TRAP_V2 = 167  /* SNMPv2-Trap-PDU */
};
typedef int PduKind;

/* BER tags of the value types a binding can carry. */
enum {
    SNMP_TYPE_INTEGER = 0x02,
    SNMP_TYPE_OCTET_STRING = 0x04,
    SNMP_TYPE_NULL = 0x05,
    SNMP_TYPE_OBJECT_ID = 0x06,
    SNMP_TYPE_UNSIGNED32 = 0x07,
    SNMP_TYPE_IPADDRESS = 0x40,
    SNMP_TYPE_COUNTER = 0x41,
    SNMP_TYPE_GAUGE = 0x42,
    SNMP_TYPE_TIMETICKS = 0x43,
    SNMP_TYPE_OPAQUE = 0x44,
    SNMP_TYPE_COUNTER64 = 0x46,
    SNMP_TYPE_NO_SUCH_OBJECT = 0x80,
    SNMP_TYPE_NO_SUCH_INSTANCE = 0x81,
    SNMP_TYPE_END_OF_MIB_VIEW = 0x82
};

/* The library's form of a 64-bit counter. */
typedef struct SnmpCounter64 {
    uint32_t high;
    uint32_t low;
} SnmpCounter64;

/* One variable binding. */
typedef struct SnmpVarBind {
    struct SnmpVarBind* next; /* 0: null after the last */
    uint32_t* name;           /* 4: the binding's identifier */
    uint32_t name_length;     /* 8 */
    uint8_t type;             /* 12: BER tag of the value */
    union {
        int32_t* integer;         /* INTEGER */
        uint32_t* unsigned32;     /* Unsigned32, Counter, Gauge, TimeTicks */
        uint8_t* string;          /* OCTET STRING, Opaque, IpAddress */
        uint32_t* oid;            /* OBJECT IDENTIFIER sub-identifiers */
        SnmpCounter64* counter64; /* Counter64 */
    } value;                      /* 16 */
    uint32_t value_length;        /* 20: bytes, or sub-identifiers */
} SnmpVarBind;

/* One received trap or inform. */
typedef struct SnmpPdu {
    struct sockaddr_in address; /* 0: the sender */
    int32_t command;            /* 16: PDU tag */
    int32_t request_id;         /* 20 */
    int32_t error_status;       /* 24 */
    int32_t error_index;        /* 28 */
    uint32_t* enterprise;       /* 32 */
    uint32_t enterprise_length; /* 36 */
    struct in_addr agent_addr;  /* 40: network order */
    int32_t generic_type;       /* 44 */
    int32_t specific_type;      /* 48 */
    uint32_t time_stamp;        /* 52: hundredths of a second */
    SnmpVarBind* variables;     /* 56 */
    uint8_t* community;         /* 60: no closing NUL */
    uint32_t community_len;     /* 64 */
    int32_t version;            /* 68: 0 = SNMPv1, 1 = SNMPv2c */
    uint32_t reserved;          /* 72 */
    uint32_t* notify_oid;       /* 76 */
    uint32_t notify_oid_length; /* 80 */
} SnmpPdu;

/* Session option bits in SnmpSession.flags. */
enum {
    SNMP_SESSION_OPTION_0x08 = 0x08
};

/* The trap event session. Opaque but for the flags byte at offset 20. */
typedef struct SnmpSession {
    uint8_t reserved[20];
    uint8_t flags; /* 20 */
    uint8_t reserved2[3];
} SnmpSession;

typedef void (*OVsnmpCallback)(int kind, SnmpSession* session, SnmpPdu* pdu, void* user_data);

PLATFORM_BEGIN_DECLS

/* The library's last failure's code. */
PLATFORM_API extern int OVsnmpErrno;

PLATFORM_API SnmpSession* PLATFORM_CALL OVsnmpWEventOpen(const char* node, const char* application,
                                                         OVsnmpCallback callback, void* user_data,
                                                         const char* filter);
PLATFORM_API int PLATFORM_CALL OVsnmpFreePdu(SnmpPdu* pdu);
PLATFORM_API int PLATFORM_CALL OVsnmpClose(SnmpSession* session);
PLATFORM_API const char* PLATFORM_CALL OVsnmpErrString(int error);

/* Decimal (or other base) text of a 64-bit counter, written at out with its
 * NUL; out must hold 21 bytes for base 10. */
PLATFORM_API char* PLATFORM_CALL OVuint64ToStr(char* out, const SnmpCounter64* value, int base, int* status);

PLATFORM_END_DECLS

#ifdef __cplusplus
static_assert(offsetof(SnmpSession, flags) == 20, "SnmpSession flags at offset 20");
static_assert(sizeof(struct sockaddr_in) == 16, "sockaddr_in is 16 bytes");
static_assert(sizeof(void*) != 4 ||
                  (offsetof(SnmpVarBind, next) == 0 && offsetof(SnmpVarBind, type) == 12 &&
                   offsetof(SnmpVarBind, value) == 16 && offsetof(SnmpVarBind, value_length) == 20 &&
                   offsetof(SnmpPdu, address) == 0 && offsetof(SnmpPdu, enterprise) == 32 &&
                   offsetof(SnmpPdu, enterprise_length) == 36 && offsetof(SnmpPdu, agent_addr) == 40 &&
                   offsetof(SnmpPdu, generic_type) == 44 && offsetof(SnmpPdu, specific_type) == 48 &&
                   offsetof(SnmpPdu, time_stamp) == 52 && offsetof(SnmpPdu, variables) == 56 &&
                   offsetof(SnmpPdu, community) == 60 && offsetof(SnmpPdu, community_len) == 64 &&
                   offsetof(SnmpPdu, notify_oid) == 76 && offsetof(SnmpPdu, notify_oid_length) == 80),
              "SNMP library records must have the platform's 32-bit layout");
#endif

#endif
