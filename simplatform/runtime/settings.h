// The platform's settings: environment variables, each named once, in the
// table of settings.cpp, with its default and whether it is read once (when
// the part it configures starts) or on every turn.
#pragma once

#include <cstdint>
#include <string>

namespace simplatform {

enum class Setting : uint8_t {
    // Read once.
    Map,            // the map loaded before main
    ControlAddr,    // the control port's address
    HttpAddr,       // the HTTP port's address, or off
    TrapAddr,       // the trap port's address
    ReceiveBuffer,  // bytes of receive buffer asked for on the trap socket
    UsmUsers,       // the SNMPv3 users file
    EngineId,       // the platform's SNMPv3 engine ID, in hex
    State,          // the state file, which the map's store keeps
    // Read on every turn.
    Hosts,   // the hosts file of the name service
    DriveC,  // the folder that stands for drive C:
    Quiet,   // 1: no console line per map change
    Home,    // the user's home folder, under which drive C: is by default
};

// The name of the setting's variable, for texts that name it.
const char* settingName(Setting which);

// The setting's default, its value when unset.
const char* settingDefault(Setting which);

// The value of a setting now, or its default when it is unset. A variable
// set to the empty string counts as unset.
std::string setting(Setting which);
// The same without a copy, for settings read on every turn: the value, or
// null when unset or empty, as it was at the turn's first settingValue.
// The text is good until the turn ends (handover.h). A setting read once
// is looked up in the environment each time.
const char* settingValue(Setting which);

}  // namespace simplatform
