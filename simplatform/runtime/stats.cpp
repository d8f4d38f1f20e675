// The counters as a document.
#include "stats.h"

#include <utility>

namespace simplatform {

std::string statsJson()
{
    const Stats& s = stats();
    const std::pair<const char*, uint64_t> values[] = {
        {"datagrams", s.datagrams},
        {"delivered", s.delivered},
        {"informsAnswered", s.informsAnswered},
        {"malformed", s.malformed},
        {"mapChanges", s.mapChanges},
        {"usmUnknownUsers", s.usmUnknownUsers},
        {"usmUnknownEngineIDs", s.usmUnknownEngineIDs},
        {"usmWrongDigests", s.usmWrongDigests},
        {"usmDecryptionErrors", s.usmDecryptionErrors},
        {"usmNotInTimeWindows", s.usmNotInTimeWindows},
        {"usmUnsupportedSecLevels", s.usmUnsupportedSecLevels},
        {"reportsSent", s.reportsSent},
    };
    std::string text = "{";
    for (const auto& value : values) {
        text += (text.size() > 1 ? ",\"" : "\"") + std::string(value.first) + "\":" + std::to_string(value.second);
    }
    return text + "}";
}

}  // namespace simplatform
