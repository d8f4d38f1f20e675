// The HTTP port's /metrics: Prometheus text exposition format 0.0.4.
//
// Each counter is one family with HELP and TYPE lines and one sample; the
// symbols' statuses are one gauge family, simplatform_symbol_status, with
// one sample per symbol labelled map, submap (its name), symbol_id and
// label; the times of their last change another,
// simplatform_symbol_changed_timestamp_seconds, with the same labels and a
// sample for each symbol that has changed. Label values are escaped as the format says (backslash, quote,
// line feed), and bytes that are not UTF-8 are shown as U+FFFD, since the
// format is UTF-8 and a label set by the program may be any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "../mapdb/mapdb.h"

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
    std::optional<int64_t> changedAt = std::nullopt;  // seconds since 1970
};

void appendMetricsCounters(std::string& out, const MetricsCounter* counters, size_t count);
// The status gauge's HELP and TYPE lines; then appendMetricsSymbol per symbol.
void appendMetricsStatusFamily(std::string& out);
void appendMetricsSymbol(std::string& out, const MetricsSymbol& symbol);
// The change time gauge's HELP and TYPE lines; then appendMetricsChangedAt
// per symbol (nothing for one that never changed).
void appendMetricsChangedAtFamily(std::string& out);
void appendMetricsChangedAt(std::string& out, const MetricsSymbol& symbol);

// A label value inside its quotes, escaped as above.
void appendMetricsLabelValue(std::string& out, std::string_view value);

// The whole document is the counters known (appendKnownCounters, made for
// each request: they change with every datagram), then the map's part,
// made once per change of the map and shared (MapDocuments, httproutes.h):
// the status family with one sample per symbol of the open map, then the
// change time family with one for each symbol that has changed. That part
// is made a slice of objects at a time, in two passes over them: pass 0
// writes an object's statuses, pass 1 their times of change.
void appendKnownCounters(std::string& out);
void appendMetricsObject(std::string& out, const MapDatabase& map, const ObjectData& object, unsigned pass);

}  // namespace simplatform
