// The counters as a document.
#include "stats.h"

namespace simplatform {

namespace {

void appendMember(std::string& text, const char* key, uint64_t value)
{
    text += text.size() > 1 ? ",\"" : "\"";
    text += key;
    text += "\":" + std::to_string(value);
}

}  // namespace

std::string statsJson()
{
    std::string text = "{";
    for (const Counter& counter : kCounters) {
        if (counterKnown(counter)) {
            appendMember(text, counter.key, counterValue(counter));
        }
    }
    for (const StatsValue& value : kValues) {
        if (stats().*value.known) {
            appendMember(text, value.key, stats().*value.member);
        }
    }
    return text + "}";
}

void CounterGrowth::look(Clock::time_point now)
{
    for (size_t row = 0; row < kCounterCount; ++row) {
        uint64_t value = counterValue(kCounters[row]);
        if (value > last_[row]) {
            grewAt_[row] = now;
        }
        last_[row] = value;
    }
}

bool CounterGrowth::grewWithin(size_t row, Clock::duration window, Clock::time_point now) const
{
    return grewAt_[row] && now - *grewAt_[row] < window;
}

}  // namespace simplatform
