// The platform put together: the parts meet here and nowhere else call up
// into this file. The start-up map is loaded before main; _OVwInit opens the
// map's store, the control port with the platform's commands and the HTTP
// port, OVwDone closes the ports and forgets the program's handlers.
#include "wiring.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "control/control.h"
#include "controlverbs.h"
#include "http/httpport.h"
#include "mapdb/mapchanges.h"
#include "mapdb/mapfile.h"
#include "mapdb/mapservices.h"
#include "mapdb/mapsession.h"
#include "mapstore/statestore.h"
#include "mapstore/storefiles.h"
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

// ---- the map's store ----

// The store, once opened: it lives until the process ends.
StateStore*& mapStore()
{
    static StateStore* store = nullptr;
    return store;
}

void keepSymbol(SymbolData& symbol)
{
    mapStore()->keep(symbol);
}

void storeMapClosing()
{
    mapStore()->mapClosing();
}

void storeMapOpened()
{
    mapStore()->mapOpened();
}

const MapKeeper kStoreKeeper = {keepSymbol, storeMapClosing, storeMapOpened};

void flushMapStore()
{
    mapStore()->flush();
}

uint32_t storedEngineBoots(uint32_t fromClock)
{
    return mapStore()->takeEngineBoots(fromClock);
}

// The turn the program ends with exit ends first (its records and held
// Responses), then what waits is written.
void closeMapStoreAtExit()
{
    endTurn();
    setTurnFlush(nullptr);
    mapStore()->close();
}

}  // namespace

void openMapStore()
{
    std::string path = setting(Setting::State);
    if (path.empty() || mapStore() != nullptr) {
        return;
    }
    mapStore() = new StateStore(path);
    mapStore()->open();
    setMapKeeper(&kStoreKeeper);
    setTurnFlush(flushMapStore);
    setEngineBootsKeeper(storedEngineBoots);
    atexit(closeMapStoreAtExit);
}

void checkStateFile()
{
    std::string path = setting(Setting::State);
    std::string error;
    if (!path.empty() && !stateFileUsable(path, error)) {
        fprintf(stderr, "simplatform: state file %s: %s\n", path.c_str(), error.c_str());
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
    // The store is read here, not before main: its records' checksums are
    // libgcrypt's, which must not start while the platform's DLL loads.
    simplatform::openMapStore();
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
