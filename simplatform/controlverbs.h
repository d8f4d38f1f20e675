// The control port's commands: the user of the map (or a test) opens maps
// and submaps, raises map events and actions, ends the session, loses the
// trap connection, and reads the map's state and the counters.
//
//   open-map <path>            open-submap <name>       create-submap <symbol id>
//   event <code>               action <name>            end-session [flag]
//   lose-connection            quit                     state
//   stats
#pragma once

#include "control/controlcommand.h"

namespace simplatform {

const ControlVerbs& controlVerbs();

}  // namespace simplatform
