// The UPS symbol table, UPS discovery and the display of UPS conditions.
#ifndef KELVOROV_MAP_UPSMAP_H
#define KELVOROV_MAP_UPSMAP_H

#include "../platform/ovw.h"

enum {
    UPS_TABLE_SIZE = 50,
    UPS_HOSTNAME_SIZE = 64
};

typedef struct UpsSymbolEntry {
    char hostname[UPS_HOSTNAME_SIZE];  // empty: end of the walk
    OVwSymbolId symbolid;
    MapHandle* map;
} UpsSymbolEntry;

extern UpsSymbolEntry upssymboltable[UPS_TABLE_SIZE];
extern int upssymbolcount;

// Sets every byte of the 50 entries to zero; the fill count stays.
void clearupstable(void);
// Appends one entry; dropped silently when the table is full.
void addupssymbol(const char* hostname, OVwSymbolId symbolid, MapHandle* map);
// The walk, one step at a time: the first entry (previous null) or the one
// after previous, or null once the walk has ended (an entry with an empty
// host name, or past the 50th). previous is an entry the walk gave.
UpsSymbolEntry* upstablewalk(const UpsSymbolEntry* previous);

FieldBindList* makeBoolBindList(const char* fieldname, int value);
bool isUpsObject(OVwObjectId object);
void setsymbolsforups(MapHandle* map, ObjectInfo* object, const char* hostname);
// Finds the map's UPS object and takes its symbols; copies its host name to
// hostname (of hostnamesize bytes) when hostname is not null.
ObjectInfo* checksubmapforbox(MapHandle* map, SubmapInfo* submap, char* hostname, size_t hostnamesize);

void SubmapOpenCB(void* userdata, int eventcode, MapHandle* map, SubmapInfo* submap);
void userSubmapCreateCB(void* userdata, int eventcode, MapHandle* map, SymbolInfo* symbol);

// Shows UPS condition code (1 to 15) on the entry's symbol.
void showUpsEvent(const UpsSymbolEntry* entry, int code);

#endif
