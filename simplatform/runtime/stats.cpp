// The counters as a document.
#include "stats.h"

namespace simplatform {

std::string statsJson()
{
    std::string text = "{";
    for (const Counter& counter : kCounters) {
        text += text.size() > 1 ? ",\"" : "\"";
        text += counter.key;
        text += "\":" + std::to_string(counterValue(counter));
    }
    return text + "}";
}

}  // namespace simplatform
