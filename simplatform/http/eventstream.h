// Server-Sent Events framing for the HTTP port's /api/v1/events.
//
// An event is "id: N", "event: NAME", one "data: " line per line of its data,
// and an empty line. A comment (":" and text) keeps an idle stream from
// looking dead to proxies and to the reader. The stream opens with a
// "retry:" line so that a browser that lost it reconnects within 2 s.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace simplatform {

constexpr int kEventStreamRetryMs = 2000;

// The first bytes of every stream, before its first event.
void appendEventStreamStart(std::string& out);
// One event. The name must be a single line; the data may hold LF, CR LF
// or CR line ends, each of which starts a new data line (the reader joins
// them with LF).
void appendEvent(std::string& out, uint64_t id, std::string_view name, std::string_view data);
// An event's lines up to its data, for data of one line that follows
// (then "\n\n" ends it): a document sent from where it is kept.
void appendEventHead(std::string& out, uint64_t id, std::string_view name);
// A comment line; line ends in text are replaced by blanks.
void appendEventComment(std::string& out, std::string_view text);

}  // namespace simplatform
