// The service manager's notification protocol, the few lines of it the
// platform needs: one datagram of text per state, to a Unix socket whose
// name is $NOTIFY_SOCKET ('@' first: the abstract namespace).
#include "servicenotify.h"

#ifndef _WIN32
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace simplatform {

#ifdef _WIN32

void notifyServiceReady() {}

#else

namespace {

void sendNotification(const char* text)
{
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t length = strlen(name);
    if (length >= sizeof addr.sun_path) {
        fprintf(stderr, "simplatform: NOTIFY_SOCKET is too long; the service manager is not told\n");
        return;
    }
    memcpy(addr.sun_path, name, length);
    if (name[0] == '@') {
        addr.sun_path[0] = '\0';
    }
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (s < 0 || sendto(s, text, strlen(text), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), size) < 0) {
        fprintf(stderr, "simplatform: cannot tell the service manager %s: %s\n", text, strerror(errno));
    }
    if (s >= 0) {
        close(s);
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

#endif

}  // namespace simplatform
