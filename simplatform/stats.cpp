// The counters as a document.
#include "stats.h"

#include <stdio.h>

namespace simplatform {

std::string statsJson()
{
    const Stats& s = stats();
    char text[256];
    snprintf(text, sizeof text,
             "{\"datagrams\":%llu,\"delivered\":%llu,\"informsAnswered\":%llu,\"malformed\":%llu,"
             "\"mapChanges\":%llu}",
             static_cast<unsigned long long>(s.datagrams), static_cast<unsigned long long>(s.delivered),
             static_cast<unsigned long long>(s.informsAnswered),
             static_cast<unsigned long long>(s.malformed), static_cast<unsigned long long>(s.mapChanges));
    return text;
}

}  // namespace simplatform
