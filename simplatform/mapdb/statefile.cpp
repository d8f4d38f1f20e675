// The state file: the state document written to a new file beside it and
// renamed over it (regularfile.h).
#include "statefile.h"

#include <cstdio>

#include "../os/regularfile.h"
#include "../runtime/settings.h"
#include "mapdb.h"
#include "mapview.h"

namespace simplatform {

bool stateFileUsable(std::string& error)
{
    std::string path = setting(Setting::State);
    std::string fault;
    if (!path.empty() && !replaceableFile(path, fault)) {
        error = "state file " + path + ": " + fault;
        return false;
    }
    return true;
}

void writeStateFile()
{
    const char* path = settingValue(Setting::State);
    if (path == nullptr || openMap() == nullptr) {
        return;
    }
    std::string fault;
    if (!replaceableFile(path, fault) || !replaceRegularFile(path, mapStateJson() + "\n", fault)) {
        std::fprintf(stderr, "simplatform: cannot write the state file %s: %s\n", path, fault.c_str());
    }
}

}  // namespace simplatform
