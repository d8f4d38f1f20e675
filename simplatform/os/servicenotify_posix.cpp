// The service manager's notification protocol, the part of it the platform
// needs: one datagram of text per state to the local socket $NOTIFY_SOCKET.
#include "servicenotify.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "localsocket.h"

namespace simplatform {
namespace {

void sendNotification(const char* text)
{
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return;
    }
    std::string error;
    if (!sendLocalDatagram(name, text, strlen(text), error)) {
        fprintf(stderr, "simplatform: cannot tell the service manager %s: %s\n", text, error.c_str());
    }
}

void notifyStopping()
{
    sendNotification("STOPPING=1");
}

}  // namespace

void notifyServiceReady()
{
    static bool told = false;
    if (told) {
        return;
    }
    told = true;
    sendNotification("READY=1");
    atexit(notifyStopping);
}

}  // namespace simplatform
