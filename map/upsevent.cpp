// Shows one UPS condition on one recorded symbol: its status and a label
// that reads "<UPS name>: <condition>".
#include <stdio.h>
#include <string.h>

#include "upsmap.h"

enum {
    UPS_EVENT_FIRST = 1,
    UPS_EVENT_LAST = 15,
    UPS_BASE_MAX = 64,
    UPS_LABEL_BUFFER = 128
};

typedef struct UpsEventShow {
    int status;  // 0: the condition changes nothing
    const char* labelformat;
} UpsEventShow;

// Indexed by UpsEventCode - 1. Statuses: 2 normal, 3 warning, 4 critical,
// 7 major.
static const UpsEventShow upseventtable[UPS_EVENT_LAST] = {
    {4, "%s: Communication Lost"},  // 1
    {7, "%s: Overload"},            // 2
    {3, "%s: Test failed"},         // 3
    {0, NULL},                      // 4
    {4, "%s: Powerfail"},           // 5
    {0, NULL},                      // 6
    {7, "%s: Battery Low"},         // 7
    {2, "%s: ok"},                  // 8
    {2, "%s: ok"},                  // 9
    {2, "%s: Test over"},           // 10
    {2, "%s: ok"},                  // 11
    {7, "%s: turned off"},          // 12
    {7, "%s: sleeping"},            // 13
    {2, "%s: ok"},                  // 14
    {7, "%s: rebooting"},           // 15
};

static const UpsEventShow* upseventshow(int code)
{
    if (code < UPS_EVENT_FIRST || code > UPS_EVENT_LAST) {
        return NULL;
    }
    const UpsEventShow* show = &upseventtable[code - UPS_EVENT_FIRST];
    return show->labelformat != NULL ? show : NULL;
}

void showUpsEvent(const UpsSymbolEntry* entry, int code)
{
    if (entry == NULL) {
        return;
    }
    // The symbol's description belongs to the map library, which keeps it
    // until the program next asks for a message.
    const SymbolInfo* symbol = OVwGetSymbolInfo(entry->map, entry->symbolid);
    if (symbol == NULL) {
        return;
    }

    // The base name is the label up to its first ":", at most 64 characters,
    // so that a new condition replaces the old suffix instead of adding one.
    char basename[UPS_LABEL_BUFFER];
    memset(basename, 0, sizeof basename);
    const char* label = symbol->label != NULL ? symbol->label : "";
    for (int i = 0; i < UPS_BASE_MAX && label[i] != '\0' && label[i] != ':'; i++) {
        basename[i] = label[i];
    }

    const UpsEventShow* show = upseventshow(code);
    if (show == NULL) {
        return;
    }
    char newlabel[UPS_LABEL_BUFFER];
    snprintf(newlabel, sizeof newlabel, show->labelformat, basename);
    OVwSetStatusOnSymbol(entry->map, entry->symbolid, show->status);
    OVwSetSymbolLabel(entry->map, entry->symbolid, newlabel);
}
