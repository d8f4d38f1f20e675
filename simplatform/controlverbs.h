// The control port's commands: the user of the map (or a test) opens maps
// and submaps, raises map events and actions, ends the session, loses the
// trap connection, and reads the map's state and the counters.
//
// The table in controlverbs.cpp is the one list of them, with each one's
// argument and help: simplatform-ctl, its bash completion and its manual
// page are checked against it (tests/platform/control_test.cpp).
#pragma once

#include "control/controlcommand.h"

namespace simplatform {

const ControlVerbs& controlVerbs();

}  // namespace simplatform
