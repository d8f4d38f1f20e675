// Start-up: prepare the log, attach to the map, take over the UPS symbols
// already on it, register the handlers, open the trap session, and hand the
// thread to the message loop, through which every later event arrives.
#include <stdio.h>

#include "../map/upsmap.h"
#include "../platform/platform.h"
#include "../trap/trapsession.h"
#include "debuglog.h"
#include "handlers.h"

int main(int argc, char** argv)
{
    (void)argv;
    setvbuf(stdout, NULL, _IONBF, 0);
    setvbuf(stderr, NULL, _IONBF, 0);

    // Any argument at all, even an empty one, switches the log on.
    if (argc > 1) {
        debuglogenabled = 1;
    }
    writeDebugLog("This message should appear in the DebugFile\n", 1);

    _OVwInit(5);
    clearupstable();

    MapHandle* map = OVwGetMapInfo();
    if (map != NULL) {
        writeDebugLog("got the map\n", 1);
        char hostname[UPS_HOSTNAME_SIZE];
        if (checksubmapforbox(map, NULL, hostname, sizeof hostname) != NULL) {
            writeDebugLog("submapforbox is found", 0);
        }
    }

    OVwAddCallback(OVw_EVENT_END_SESSION, NULL, (OVwCallbackProc)endSessionCB, NULL);
    OVwAddCallback(OVw_EVENT_SUBMAP_OPEN, NULL, (OVwCallbackProc)SubmapOpenCB, NULL);
    OVwAddCallback(OVw_EVENT_IGNORED, NULL, (OVwCallbackProc)ignoredEventCB, NULL);
    OVwAddCallback(OVw_EVENT_USER_SUBMAP_CREATE, NULL, (OVwCallbackProc)userSubmapCreateCB, NULL);
    OVwAddActionCallback("kelvorov", upsActionCB, NULL);

    openTrapSession();

    // Only 0 (a quit message) ends the loop; -1 is an error and the loop
    // goes on.
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) != 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    writeDebugLog("*******************************\nNormal Program End", 0);
    return 0;
}
