// The UPS symbol table: the symbols that stand for a UPS and the host each
// UPS lives on. Discovery appends to it; trap classification walks it.
#include <stdio.h>
#include <string.h>

#include "upsmap.h"

UpsSymbolEntry upssymboltable[UPS_TABLE_SIZE];
int upssymbolcount = 0;

void clearupstable(void)
{
    memset(upssymboltable, 0, sizeof upssymboltable);
}

void addupssymbol(const char* hostname, OVwSymbolId symbolid, MapHandle* map)
{
    if (upssymbolcount < 0 || upssymbolcount >= UPS_TABLE_SIZE) {
        return;
    }
    UpsSymbolEntry* entry = &upssymboltable[upssymbolcount];
    // A longer name keeps its first 63 characters; the last byte stays zero.
    snprintf(entry->hostname, sizeof entry->hostname, "%s", hostname != NULL ? hostname : "");
    entry->symbolid = symbolid;
    entry->map = map;
    upssymbolcount++;
}

UpsSymbolEntry* upstablewalk(const UpsSymbolEntry* previous)
{
    long index = previous == NULL ? 0 : (previous - upssymboltable) + 1;
    if (index < 0 || index >= UPS_TABLE_SIZE) {
        return NULL;
    }
    // The walk ends at the first empty host name: nothing after it is
    // visited, even entries that were added after an empty name. Every
    // entry before this one was visited, so none of them is empty.
    if (upssymboltable[index].hostname[0] == '\0') {
        return NULL;
    }
    return &upssymboltable[index];
}
