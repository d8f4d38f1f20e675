// Local time rules fixed when the process starts.
#include "localtime.h"

#include <stdlib.h>
#include <time.h>

namespace simplatform {

void fixLocalTimeRules()
{
    if (getenv("TZ") == nullptr) {  // set but empty means UTC: left alone
        setenv("TZ", ":/etc/localtime", 1);
    }
    tzset();
}

}  // namespace simplatform
