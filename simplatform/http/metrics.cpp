// The /metrics document in Prometheus text exposition format 0.0.4.
#include "metrics.h"

#include <stdio.h>

#include "../runtime/stats.h"

namespace simplatform {
namespace {

// The length of the well-formed UTF-8 sequence at the start of text, or 0.
size_t utf8Length(std::string_view text)
{
    unsigned char c = static_cast<unsigned char>(text[0]);
    size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;  // the range of the second byte
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

}  // namespace

void appendMetricsLabelValue(std::string& out, std::string_view value)
{
    while (!value.empty()) {
        size_t length = utf8Length(value);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            length = 1;
        } else if (value[0] == '\\') {
            out += "\\\\";
        } else if (value[0] == '"') {
            out += "\\\"";
        } else if (value[0] == '\n') {
            out += "\\n";
        } else {
            out.append(value.data(), length);
        }
        value.remove_prefix(length);
    }
}

void appendMetricsCounters(std::string& out, const MetricsCounter* counters, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const MetricsCounter& c = counters[i];
        char value[32];
        snprintf(value, sizeof value, " %llu\n", static_cast<unsigned long long>(c.value));
        out.append("# HELP ").append(c.name).append(" ").append(c.help).append("\n");
        out.append("# TYPE ").append(c.name).append(" counter\n");
        out.append(c.name).append(value);
    }
}

void appendMetricsStatusFamily(std::string& out)
{
    out += "# HELP simplatform_symbol_status Status of a map symbol: 0 unknown, 1 unmanaged, 2 normal, "
           "3 warning, 4 critical, 5 minor, 6 restricted, 7 major.\n"
           "# TYPE simplatform_symbol_status gauge\n";
}

namespace {

// {map="..",submap="..",symbol_id="..",label=".."}
void appendSymbolLabels(std::string& out, const MetricsSymbol& symbol)
{
    out += "{map=\"";
    appendMetricsLabelValue(out, symbol.map);
    out += "\",submap=\"";
    appendMetricsLabelValue(out, symbol.submap);
    char text[48];
    snprintf(text, sizeof text, "\",symbol_id=\"%lu\",label=\"", static_cast<unsigned long>(symbol.id));
    out += text;
    appendMetricsLabelValue(out, symbol.label);
    out += "\"}";
}

}  // namespace

void appendMetricsSymbol(std::string& out, const MetricsSymbol& symbol)
{
    out += "simplatform_symbol_status";
    appendSymbolLabels(out, symbol);
    char text[24];
    snprintf(text, sizeof text, " %d\n", symbol.status);
    out += text;
}

void appendMetricsChangedAtFamily(std::string& out)
{
    out +=
        "# HELP simplatform_symbol_changed_timestamp_seconds When a map symbol's status or label last changed.\n"
        "# TYPE simplatform_symbol_changed_timestamp_seconds gauge\n";
}

void appendMetricsChangedAt(std::string& out, const MetricsSymbol& symbol)
{
    if (!symbol.changedAt) {
        return;
    }
    out += "simplatform_symbol_changed_timestamp_seconds";
    appendSymbolLabels(out, symbol);
    char text[32];
    snprintf(text, sizeof text, " %lld\n", static_cast<long long>(*symbol.changedAt));
    out += text;
}

void appendKnownCounters(std::string& out)
{
    // A counter the system cannot tell has no family at all.
    MetricsCounter counters[kCounterCount];
    size_t known = 0;
    for (const Counter& counter : kCounters) {
        if (counterKnown(counter)) {
            counters[known++] = {counter.metric, counter.help, counterValue(counter)};
        }
    }
    appendMetricsCounters(out, counters, known);
}

void appendMetricsObject(std::string& out, const MapDatabase& map, const ObjectData& object, unsigned pass)
{
    for (const SymbolData& symbol : object.symbols) {
        auto submap = map.submapIndex.find(symbol.submap);
        std::string_view submapName = submap == map.submapIndex.end() ? std::string_view()
                                                                      : map.submaps[submap->second].name;
        MetricsSymbol sample{map.name, submapName, symbol.id, symbol.label, symbol.status, symbol.changedAt};
        if (pass == 0) {
            appendMetricsSymbol(out, sample);
        } else {
            appendMetricsChangedAt(out, sample);
        }
    }
}

}  // namespace simplatform
