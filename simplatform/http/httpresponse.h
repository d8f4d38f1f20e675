// The HTTP port's responses: the status line and headers of every answer it
// gives, and the JSON body of its errors.
//
// Every response says Cache-Control: no-store (the map changes under it) and
// X-Content-Type-Options: nosniff. A response with a known length carries
// Content-Length; the event stream has none and ends when the connection
// closes. "Connection: close" is sent when the port closes after it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace simplatform {

constexpr const char* kJsonContentType = "application/json";

// The reason phrase of the statuses the port uses; "Unknown" for others.
const char* httpReason(int status);

// Appends the head of a response: status line, Content-Type, Content-Length
// (unless length is kNoLength), the fixed headers, Connection: close when
// close is set, the extra header lines (each ending in CR LF) and the empty
// line.
constexpr size_t kNoLength = static_cast<size_t>(-1);
void appendHttpHead(std::string& out, int status, std::string_view contentType, size_t length, bool close,
                    std::string_view extraHeaders = {});

// Appends a whole response: its head, and the body unless headOnly (HEAD),
// with Content-Length the body's size either way.
void appendHttpResponse(std::string& out, int status, std::string_view contentType, std::string_view body,
                        bool close, bool headOnly, std::string_view extraHeaders = {});

// {"error":"<text>"}: anything in text but printable ASCII other than quote
// and backslash is shown as '?', so the body is always valid JSON.
std::string httpErrorJson(std::string_view text);

}  // namespace simplatform
