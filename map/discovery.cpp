// UPS discovery: finds the UPS object on a map, puts its symbols under this
// program's status control and records them in the UPS symbol table. Also
// the two map event handlers that lead here or serve the map.
//
// Lists and values returned by the map library belong to the library, which
// keeps them until the program next asks for a message; nothing here frees
// them or keeps them past its own return.
#include <stdio.h>
#include <string.h>

#include "../app/debuglog.h"
#include "upsmap.h"

static const char upsobjectid[] = ".1.3.6.1.4.1.935";
static const char behaviorname[] = "kelvor";

enum {
    UPS_STATUS_SOURCE = 3,
    UPS_BEHAVIOR = 2
};

// The library's text for its last failure; never null.
static const char* maperrortext(void)
{
    const char* text = OVwErrorMsg(OVwError());
    return text != NULL ? text : "";
}

static const char* textornothing(const char* text)
{
    return text != NULL ? text : "";
}

// The selection is rebuilt on every call in static storage: one binding of
// one single (non-list) boolean value.
FieldBindList* makeBoolBindList(const char* fieldname, int value)
{
    static FieldValue fieldvalue;
    static FieldBinding binding;
    static FieldBindList bindlist;

    memset(&fieldvalue, 0, sizeof fieldvalue);
    fieldvalue.is_list = 0;
    fieldvalue.type = OVw_BOOLEAN_FIELD;
    fieldvalue.un.boolean_val = value;

    binding.field_id = OVwDbFieldNameToFieldId(fieldname);
    binding.field_val = &fieldvalue;

    bindlist.count = 1;
    bindlist.fields = &binding;
    return &bindlist;
}

bool isUpsObject(OVwObjectId object)
{
    FieldValue* value = OVwDbGetFieldValue(object, OVwDbFieldNameToFieldId("SNMP sysObjectID"));
    if (value == NULL || value->type != OVw_STRING_FIELD) {
        return false;
    }
    const char* text = textornothing(value->un.string_val);
    logmessage("checksubmapforbox: %s", text);
    return strcmp(text, upsobjectid) == 0;
}

void setsymbolsforups(MapHandle* map, ObjectInfo* object, const char* hostname)
{
    writeDebugLog("setsymbolsforups\n", 0);
    if (object == NULL) {
        return;
    }
    SymbolList* symbols = OVwGetSymbolsByObject(map, object->object_id);
    if (symbols == NULL) {
        logmessage("setsymbolsforups: %s", maperrortext());
        return;
    }
    logmessage("setsymbolsforups: count=%d\n", symbols->count);
    if (symbols->symbols == NULL) {
        return;
    }
    for (int i = 0; i < symbols->count; i++) {
        const SymbolInfo* symbol = &symbols->symbols[i];
        logmessage("createsymbolsforups: %s", textornothing(symbol->label));
        OVwSetSymbolStatusSource(map, symbol->symbol_id, UPS_STATUS_SOURCE);
        if (OVwSetSymbolBehavior(map, symbol->symbol_id, UPS_BEHAVIOR, behaviorname, behaviorname, NULL) != 0) {
            writeDebugLog("setsymbolbehavoir ok\n", 0);
        } else {
            logmessage("setsymbolbehavoir: %s", maperrortext());
        }
        addupssymbol(hostname, symbol->symbol_id, map);
    }
}

ObjectInfo* checksubmapforbox(MapHandle* map, SubmapInfo* submap, char* hostname, size_t hostnamesize)
{
    (void)submap;
    ObjectList* objects = OVwListObjectsOnMap(map, makeBoolBindList("isIP", 1));
    if (objects != NULL) {
        logmessage("checksubmapforbox: objlist->count=%d", objects->count);
    } else {
        logmessage("checksubmapforbox: %s", maperrortext());
    }
    if (map == NULL || objects == NULL || objects->count <= 0 || objects->objects == NULL) {
        return NULL;
    }
    for (int i = 0; i < objects->count; i++) {
        ObjectInfo* object = &objects->objects[i];
        // An object without a host name is passed over before its system
        // object identifier is asked for; an empty host name still counts.
        const char* name = OVwDbObjectIdToHostname(object->object_id);
        if (name == NULL || !isUpsObject(object->object_id)) {
            continue;
        }
        if (hostname != NULL && hostnamesize > 0) {
            snprintf(hostname, hostnamesize, "%s", name);
        }
        logmessage("checksubmapforbox: num_symbols=%d\n", object->num_symbols);
        setsymbolsforups(map, object, name);
        // Only the first UPS of a map is taken.
        return object;
    }
    return NULL;
}

void SubmapOpenCB(void* userdata, int eventcode, MapHandle* map, SubmapInfo* submap)
{
    (void)userdata;
    (void)eventcode;
    writeDebugLog("****************************\nstart SubmapOpenCB\n", 0);
    logmessage("opened submap = %s\n", submap != NULL ? textornothing(submap->name) : "");
    char hostname[UPS_HOSTNAME_SIZE];
    if (checksubmapforbox(map, submap, hostname, sizeof hostname) != NULL) {
        writeDebugLog("submapforbox is found", 0);
    }
    writeDebugLog("Ende mapOpenCB\n****************************\n", 0);
}

void userSubmapCreateCB(void* userdata, int eventcode, MapHandle* map, SymbolInfo* symbol)
{
    (void)userdata;
    (void)eventcode;
    logmessage("userSubmapCreateCB: %s", symbol != NULL ? textornothing(symbol->label) : "");
    // The request is answered without creating anything: submap 0 is none.
    // Without a symbol there is nothing to answer for.
    if (symbol != NULL) {
        OVwAckUserSubmapCreate(map, 0, symbol->symbol_id);
    }
}
