// The HTTP port's /metrics: Prometheus text exposition format 0.0.4.
//
// Each counter is one family with HELP and TYPE lines and one sample; the
// symbols' statuses are one gauge family, simplatform_symbol_status, with
// one sample per symbol labelled map, submap (its name), symbol_id and
// label. Label values are escaped as the format says (backslash, quote,
// line feed), and bytes that are not UTF-8 are shown as U+FFFD, since the
// format is UTF-8 and a label set by the program may be any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace simplatform {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

struct MetricsCounter {
    const char* name;  // the whole metric name, ending in _total
    const char* help;  // one line
    uint64_t value;
};

struct MetricsSymbol {
    std::string_view map;
    std::string_view submap;
    uint32_t id;
    std::string_view label;
    int status;
};

void appendMetricsCounters(std::string& out, const MetricsCounter* counters, size_t count);
// The status gauge's HELP and TYPE lines; then appendMetricsSymbol per symbol.
void appendMetricsStatusFamily(std::string& out);
void appendMetricsSymbol(std::string& out, const MetricsSymbol& symbol);

// A label value inside its quotes, escaped as above.
void appendMetricsLabelValue(std::string& out, std::string_view value);

// The whole document: the counters known, then the status of every symbol of the
// open map.
std::string metricsText();

}  // namespace simplatform
