// The handlers that belong to the application as a whole.
#include "handlers.h"

#include <stdlib.h>

#include "../platform/ovw.h"
#include "debuglog.h"

// End of the map session: the process ends here and never returns to the
// message loop. Only an end flag of exactly 1 is a normal end.
void endSessionCB(void* userdata, int eventcode, int normalend)
{
    (void)userdata;
    (void)eventcode;
    writeDebugLog("in endSessionCB", 0);
    OVwDone();
    exit(normalend == 1 ? 0 : 1);
}

void ignoredEventCB(void* userdata, int eventcode)
{
    (void)userdata;
    (void)eventcode;
}

void upsActionCB(void* userdata, const char* action)
{
    (void)userdata;
    (void)action;
    writeDebugLog("kelvorov Action", 0);
}
