// Server-Sent Events framing.
#include "eventstream.h"

#include <stdio.h>

namespace simplatform {

void appendEventStreamStart(std::string& out)
{
    char line[32];
    snprintf(line, sizeof line, "retry: %d\n\n", kEventStreamRetryMs);
    out += line;
}

namespace {

// The event's id and name lines, without the name's line break.
void appendIdAndName(std::string& out, uint64_t id, std::string_view name)
{
    char line[40];
    snprintf(line, sizeof line, "id: %llu\n", static_cast<unsigned long long>(id));
    out += line;
    out += "event: ";
    out += name;
}

}  // namespace

void appendEventHead(std::string& out, uint64_t id, std::string_view name)
{
    appendIdAndName(out, id, name);
    out += "\ndata: ";
}

void appendEvent(std::string& out, uint64_t id, std::string_view name, std::string_view data)
{
    appendIdAndName(out, id, name);
    out += '\n';
    // One data line per line of data; an empty data gives one empty data line.
    for (;;) {
        size_t end = data.find_first_of("\r\n");
        out += "data: ";
        out += data.substr(0, end);
        out += '\n';
        if (end == std::string_view::npos) {
            break;
        }
        size_t next = end + 1;
        if (data[end] == '\r' && next < data.size() && data[next] == '\n') {
            ++next;
        }
        data.remove_prefix(next);
    }
    out += '\n';
}

void appendEventComment(std::string& out, std::string_view text)
{
    out += ": ";
    for (char c : text) {
        out += (c == '\r' || c == '\n') ? ' ' : c;
    }
    out += '\n';
}

}  // namespace simplatform
