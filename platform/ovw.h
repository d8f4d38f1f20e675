/*
 * Map library: the records and operations of the platform's map services.
 *
 * Records keep the platform's field order and widths. In a 32-bit build
 * their byte offsets are the platform's own, checked at the end of this
 * file; in a 64-bit build pointers are wider and the offsets move with them.
 *
 * Records and lists returned by the library belong to the library: callers
 * read them and never free them. On Windows the operations are ovw.dll's
 * (ovw.def); see linkage.h.
 */
#ifndef KELVOROV_PLATFORM_OVW_H
#define KELVOROV_PLATFORM_OVW_H

#include <stddef.h>
#include <stdint.h>

#include "linkage.h"

typedef uint32_t OVwObjectId;
typedef uint32_t OVwSymbolId;
typedef uint32_t OVwSubmapId;
typedef uint32_t OVwFieldId;

/* The open map. Opaque to callers. */
typedef struct MapHandle MapHandle;

/* One object of a list (28 bytes). */
typedef struct ObjectInfo {
    OVwObjectId object_id; /* 0 */
    uint32_t reserved1;    /* 4 */
    int32_t num_symbols;   /* 8: the object's symbol count */
    uint32_t reserved2[4]; /* 12 */
} ObjectInfo;

typedef struct ObjectList {
    int32_t count;       /* 0 */
    ObjectInfo* objects; /* 4 */
} ObjectList;

/* One symbol's description (164 bytes in the platform's layout). */
typedef struct SymbolInfo {
    OVwSymbolId symbol_id;  /* 0 */
    uint32_t reserved1[8];  /* 4 */
    char* label;            /* 36: the symbol's current label */
    uint32_t reserved2[31]; /* 40 */
} SymbolInfo;

typedef struct SymbolList {
    int32_t count;       /* 0 */
    SymbolInfo* symbols; /* 4 */
} SymbolList;

typedef struct SubmapInfo {
    OVwSubmapId submap_id; /* 0 */
    char* name;            /* 4: the submap's name */
} SubmapInfo;

/* Field value type codes. */
enum {
    OVw_INTEGER_FIELD = 1,
    OVw_BOOLEAN_FIELD = 2,
    OVw_STRING_FIELD = 3
};

typedef struct FieldValue {
    int32_t is_list; /* 0: 0 = one value */
    int32_t type;    /* 4: OVw_BOOLEAN_FIELD, OVw_STRING_FIELD, ... */
    union {
        int32_t boolean_val; /* 1 = true */
        int32_t int_val;
        char* string_val;
    } un;              /* 8 */
    uint32_t reserved; /* 12: not set */
} FieldValue;

typedef struct FieldBinding {
    OVwFieldId field_id;   /* 0 */
    FieldValue* field_val; /* 4 */
} FieldBinding;

typedef struct FieldBindList {
    int32_t count;        /* 0 */
    FieldBinding* fields; /* 4 */
} FieldBindList;

/* Map event codes. */
enum {
    OVw_EVENT_END_SESSION = 1,
    OVw_EVENT_USER_SUBMAP_CREATE = 29,
    OVw_EVENT_SUBMAP_OPEN = 30,
    OVw_EVENT_IGNORED = 31
};

/*
 * Event handlers. OVwAddCallback takes the generic form; the library calls
 * each handler with the arguments of its event:
 *   1 (end of session):       void (void* user_data, int event, int normal_end)
 *   29 (submap create asked): void (void* user_data, int event, MapHandle*, SymbolInfo*)
 *   30 (submap opened):       void (void* user_data, int event, MapHandle*, SubmapInfo*)
 *   any other event:          void (void* user_data, int event)
 */
typedef void (*OVwCallbackProc)(void);
typedef void (*OVwEndSessionProc)(void* user_data, int event, int normal_end);
typedef void (*OVwSubmapCreateProc)(void* user_data, int event, MapHandle* map, SymbolInfo* symbol);
typedef void (*OVwSubmapOpenProc)(void* user_data, int event, MapHandle* map, SubmapInfo* submap);
typedef void (*OVwEventProc)(void* user_data, int event);

/* Action handlers: the user data given at registration and the action's name. */
typedef void (*OVwActionCallbackProc)(void* user_data, const char* action);

PLATFORM_BEGIN_DECLS

PLATFORM_API int PLATFORM_CALL _OVwInit(int version);
PLATFORM_API int PLATFORM_CALL OVwDone(void);
PLATFORM_API MapHandle* PLATFORM_CALL OVwGetMapInfo(void);

PLATFORM_API int PLATFORM_CALL OVwAddCallback(int event, void* selection, OVwCallbackProc proc, void* user_data);
PLATFORM_API int PLATFORM_CALL OVwAddActionCallback(const char* action, OVwActionCallbackProc proc,
                                                    void* user_data);

PLATFORM_API ObjectList* PLATFORM_CALL OVwListObjectsOnMap(MapHandle* map, FieldBindList* selection);
PLATFORM_API OVwFieldId PLATFORM_CALL OVwDbFieldNameToFieldId(const char* field_name);
PLATFORM_API FieldValue* PLATFORM_CALL OVwDbGetFieldValue(OVwObjectId object, OVwFieldId field);
PLATFORM_API char* PLATFORM_CALL OVwDbObjectIdToHostname(OVwObjectId object);
PLATFORM_API SymbolList* PLATFORM_CALL OVwGetSymbolsByObject(MapHandle* map, OVwObjectId object);

PLATFORM_API int PLATFORM_CALL OVwSetSymbolStatusSource(MapHandle* map, OVwSymbolId symbol, int source);
PLATFORM_API int PLATFORM_CALL OVwSetSymbolBehavior(MapHandle* map, OVwSymbolId symbol, int behavior,
                                                    const char* name, const char* alt_name, void* reserved);
PLATFORM_API SymbolInfo* PLATFORM_CALL OVwGetSymbolInfo(MapHandle* map, OVwSymbolId symbol);
PLATFORM_API int PLATFORM_CALL OVwSetStatusOnSymbol(MapHandle* map, OVwSymbolId symbol, int status);
PLATFORM_API int PLATFORM_CALL OVwSetSymbolLabel(MapHandle* map, OVwSymbolId symbol, const char* label);
PLATFORM_API int PLATFORM_CALL OVwAckUserSubmapCreate(MapHandle* map, OVwSubmapId submap, OVwSymbolId symbol);

PLATFORM_API int PLATFORM_CALL OVwError(void);
PLATFORM_API const char* PLATFORM_CALL OVwErrorMsg(int error);

PLATFORM_END_DECLS

/* Layout checks: records without pointers on every build, the others in a
 * 32-bit build, where they must have the platform's byte offsets. */
#ifdef __cplusplus
static_assert(sizeof(ObjectInfo) == 28 && offsetof(ObjectInfo, num_symbols) == 8, "ObjectInfo layout");
static_assert(sizeof(void*) != 4 ||
                  (offsetof(ObjectList, count) == 0 && offsetof(ObjectList, objects) == 4 &&
                   sizeof(SymbolInfo) == 164 && offsetof(SymbolInfo, symbol_id) == 0 &&
                   offsetof(SymbolInfo, label) == 36 && offsetof(SymbolList, count) == 0 &&
                   offsetof(SymbolList, symbols) == 4 && offsetof(SubmapInfo, name) == 4 &&
                   sizeof(FieldBindList) == 8 && offsetof(FieldBindList, fields) == 4 &&
                   sizeof(FieldBinding) == 8 && offsetof(FieldBinding, field_val) == 4 &&
                   sizeof(FieldValue) == 16 && offsetof(FieldValue, type) == 4 && offsetof(FieldValue, un) == 8),
              "map library records must have the platform's 32-bit layout");
#endif

#endif
