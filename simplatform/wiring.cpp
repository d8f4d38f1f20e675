// The platform put together: the parts meet here and nowhere else call up
// into this file. The start-up map is loaded before main; _OVwInit opens the
// control port with the platform's commands and the HTTP port, OVwDone
// closes them and forgets the program's handlers.
#include "wiring.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "control/control.h"
#include "controlverbs.h"
#include "http/httpport.h"
#include "mapdb/mapfile.h"
#include "mapdb/mapservices.h"
#include "mapdb/mapsession.h"
#include "mapdb/statefile.h"
#include "runtime/handover.h"
#include "runtime/localtime.h"
#include "runtime/settings.h"
#include "trapport/trapsecurity.h"

namespace simplatform {
namespace {

struct Session {
    bool open = false;
    std::unique_ptr<ControlPort> control;
    std::unique_ptr<HttpPort> http;
};

// Lives until the process ends: the program exits from inside handlers.
Session& session()
{
    static Session* instance = new Session;
    return *instance;
}

// The map named by the map setting (Setting::Map) is loaded before main runs, so that a
// bad map file stops the start before the program writes anything. The
// local time rules are fixed then too, before the program's first log
// record.
struct StartupMap {
    StartupMap()
    {
        fixLocalTimeRules();
        checkStateFile();
        loadStartupMap();
    }
};
StartupMap startupMap;

// The SNMPv3 users file is read before main too: a bad one stops the start.
struct StartupUsers {
    StartupUsers()
    {
        std::string error;
        if (!configureTrapSecurity(error)) {
            fprintf(stderr, "%s\n", error.c_str());
            fflush(stderr);
            exit(2);
        }
    }
};
StartupUsers startupUsers;

// A program that returns from main (after the control port's quit) has not
// called OVwDone: the ports are closed at exit all the same, so that a local
// control socket does not leave its file behind.
void closePortsAtExit()
{
    Session& s = session();
    if (s.control) {
        s.control->close();
    }
    if (s.http) {
        s.http->close();
    }
}

}  // namespace

void checkStateFile()
{
    std::string error;
    if (!stateFileUsable(error)) {
        fprintf(stderr, "simplatform: %s\n", error.c_str());
        fflush(stderr);
        exit(2);
    }
}

bool loadStartupMap()
{
    std::string path = setting(Setting::Map);
    if (path.empty()) {
        return false;
    }
    std::string error;
    if (!openMapFile(path, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        fflush(stderr);
        exit(2);
    }
    return true;
}

}  // namespace simplatform

using simplatform::session;

int _OVwInit(int version)
{
    (void)version;
    simplatform::Session& s = session();
    if (s.open) {
        simplatform::clearMapError();
        return 0;
    }
    s.open = true;
    static bool closedAtExit = atexit(simplatform::closePortsAtExit) == 0;
    (void)closedAtExit;
    std::string address = simplatform::setting(simplatform::Setting::ControlAddr);
    std::string error;
    s.control = simplatform::ControlPort::open(address, simplatform::controlVerbs(), error);
    if (!s.control) {
        fprintf(stderr, "simplatform: no control port: %s; running without it\n", error.c_str());
    }
    address = simplatform::setting(simplatform::Setting::HttpAddr);
    if (address != "off") {
        s.http = simplatform::HttpPort::open(address, error);
        if (!s.http) {
            fprintf(stderr, "simplatform: no HTTP port: %s; running without it\n", error.c_str());
        }
    }
    simplatform::clearMapError();
    return 0;
}

int OVwDone(void)
{
    simplatform::Session& s = session();
    if (!s.open) {
        simplatform::setMapError(simplatform::kMapErrorNoMap, "OVwDone: no map session is open");
        return -1;
    }
    s.open = false;
    simplatform::forgetHandlers();
    if (s.control) {
        // OVwDone is usually called from a handler that a control command
        // raised: the port is closed now but freed only after the handler.
        s.control->close();
        std::shared_ptr<simplatform::ControlPort> closed(std::move(s.control));
        simplatform::keepUntilNextMessage([closed] {});
    }
    if (s.http) {
        s.http->close();
        std::shared_ptr<simplatform::HttpPort> closed(std::move(s.http));
        simplatform::keepUntilNextMessage([closed] {});
    }
    simplatform::clearMapError();
    return 0;
}
