// The HTTP port's request parser: a strict, bounded reader of HTTP/1.0 and
// HTTP/1.1 request heads for a read-only responder.
//
// A request is its head alone (request line, header lines, empty line);
// GET and HEAD never carry a body here, so a GET or HEAD that announces one
// is malformed. Other methods are recognised as such (the port answers 405
// and closes, because it does not read their bodies).
//
// Accepted, beyond RFC 9112's grammar: bare LF as a line end; empty lines
// before the request line; the absolute form "http://host/path" of a target.
// Refused: a head over kMaxHttpHeadBytes (counting the empty lines before
// it), more than kMaxHttpHeaders header lines, control bytes, folded header
// lines, a blank between a header's name and its colon, a missing or repeated
// Host in HTTP/1.1, versions other than HTTP/1.x, Transfer-Encoding and a
// Content-Length other than 0 on GET and HEAD, and contradicting
// Content-Lengths.
#pragma once

#include <cstddef>
#include <string_view>

namespace simplatform {

constexpr size_t kMaxHttpHeadBytes = 8192;
constexpr size_t kMaxHttpHeaders = 64;

enum class HttpMethod {
    Get,
    Head,
    Other
};

struct HttpRequest {
    HttpMethod method = HttpMethod::Get;
    std::string_view method_text;  // as sent; points into the parsed bytes
    std::string_view path;         // the target's path, without query: into the parsed bytes,
                                   // or a static "/" for "http://host" with no path
    bool keep_alive = false;       // the connection may carry another request after this one
};

enum class HttpParseOutcome {
    Incomplete,  // no complete head yet and nothing wrong so far: read more
    Request,     // one request; `consumed` bytes belong to it
    Bad          // malformed or too large: answer 400 and close
};

struct HttpParseResult {
    HttpParseOutcome outcome = HttpParseOutcome::Incomplete;
    size_t consumed = 0;
    const char* reason = "";  // for Bad: a short text for the 400 body
};

// Parses the request at the start of bytes, which may hold more (pipelined
// requests follow it). Only the first request is looked at; the caller takes
// `consumed` bytes away and parses again for the next one. A Bad outcome
// is given as soon as the bytes seen can no longer begin a valid head.
HttpParseResult parseHttpRequest(std::string_view bytes, HttpRequest& request);

}  // namespace simplatform
