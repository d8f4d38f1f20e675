// The HTTP port's request parser. The head is found first (its end within
// the size limit), then its request line and its header lines are read,
// each step naming its fault; every failure leaves through bad() with the
// reason the 400 body names.
#include "httprequest.h"

#include <string.h>

namespace simplatform {
namespace {

HttpParseResult bad(const char* reason)
{
    HttpParseResult result;
    result.outcome = HttpParseOutcome::Bad;
    result.reason = reason;
    return result;
}

bool isTokenChar(unsigned char c)
{
    if (c >= '0' && c <= '9') {
        return true;
    }
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
        return true;
    }
    return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!isTokenChar(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Bytes that have no place anywhere in a head: control bytes other than
// tab, CR and LF.
bool isStray(unsigned char c)
{
    return (c < 32 && c != '\t' && c != '\r' && c != '\n') || c == 127;
}

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<unsigned char>(x | 0x20);
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<unsigned char>(y | 0x20);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Takes the next line (without its LF or CR LF) off the front of text.
// A CR anywhere else in the line is refused by the caller.
std::string_view takeLine(std::string_view& text)
{
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// The path of a request target: origin form "/path?query" or absolute form
// "http://authority/path?query". Empty when the target is neither.
std::string_view targetPath(std::string_view target)
{
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (target.size() >= scheme.size() && sameText(target.substr(0, scheme.size()), scheme)) {
            size_t slash = target.find('/', scheme.size());
            size_t query = target.find('?', scheme.size());
            if (slash == std::string_view::npos || (query != std::string_view::npos && query < slash)) {
                return "/";
            }
            target.remove_prefix(slash);
            break;
        }
    }
    if (target.empty() || target.front() != '/') {
        return {};
    }
    return target.substr(0, target.find('?'));
}

// The tokens of a Connection header, for "close" and "keep-alive".
void readConnectionTokens(std::string_view value, bool& close, bool& keepAlive)
{
    while (!value.empty()) {
        size_t comma = value.find(',');
        std::string_view token = trimmed(value.substr(0, comma));
        if (sameText(token, "close")) {
            close = true;
        } else if (sameText(token, "keep-alive")) {
            keepAlive = true;
        }
        value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
    }
}

// Finds the head at the start of bytes: start is its first byte (after
// the empty lines before it), end the byte after its empty line, npos
// while it has not come whole. A fault when the bytes can no longer begin
// a valid head; null otherwise.
const char* findHead(std::string_view bytes, size_t& start, size_t& end)
{
    // Empty lines before the request line are skipped; they count against
    // the limit like the head itself.
    start = 0;
    while (start < bytes.size() && (bytes[start] == '\r' || bytes[start] == '\n')) {
        ++start;
    }
    if (start > kMaxHttpHeadBytes) {
        return "request head too large";
    }

    // The head ends at the first empty line: LF LF or LF CR LF.
    end = std::string_view::npos;
    size_t window = bytes.size() < kMaxHttpHeadBytes ? bytes.size() : kMaxHttpHeadBytes;
    for (size_t i = start; i < window; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (isStray(c)) {
            return "control byte in the request head";
        }
        if (c != '\n') {
            continue;
        }
        if (i + 1 < window && bytes[i + 1] == '\n') {
            end = i + 2;
            break;
        }
        if (i + 2 < window && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
            end = i + 3;
            break;
        }
    }
    if (end == std::string_view::npos) {
        if (bytes.size() >= kMaxHttpHeadBytes) {
            return "request head too large";
        }
        // Nothing wrong yet; but a first line that cannot begin a request
        // line is refused now rather than after 8 KiB.
        if (start < bytes.size() && !isTokenChar(static_cast<unsigned char>(bytes[start]))) {
            return "malformed request line";
        }
    }
    return nullptr;
}

struct RequestLine {
    std::string_view method;
    std::string_view path;
    bool http10 = false;
};

// request-line = method SP request-target SP HTTP-version
const char* parseRequestLine(std::string_view line, RequestLine& parsed)
{
    if (line.find('\r') != std::string_view::npos) {
        return "CR inside a line";
    }
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        return "malformed request line";
    }
    std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    if (!isToken(method)) {
        return "malformed method";
    }
    for (char c : target) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127) {
            return "malformed request target";
        }
    }
    std::string_view path = targetPath(target);
    if (path.empty()) {
        return "malformed request target";
    }
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9') {
        return "unsupported HTTP version";
    }
    parsed.method = method;
    parsed.path = path;
    parsed.http10 = version[7] == '0';
    return nullptr;
}

// What the header lines say that matters here.
struct Headers {
    size_t hosts = 0;
    bool close = false;
    bool keepAlive = false;
    bool hasBody = false;
    std::string_view contentLength;  // without leading zeros
};

const char* readHeaderLine(std::string_view line, Headers& headers)
{
    if (line.find('\r') != std::string_view::npos) {
        return "CR inside a line";
    }
    if (line.front() == ' ' || line.front() == '\t') {
        return "folded header line";
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
        return "malformed header line";
    }
    std::string_view name = line.substr(0, colon);
    std::string_view value = trimmed(line.substr(colon + 1));
    if (sameText(name, "host")) {
        ++headers.hosts;
    } else if (sameText(name, "connection")) {
        readConnectionTokens(value, headers.close, headers.keepAlive);
    } else if (sameText(name, "transfer-encoding")) {
        headers.hasBody = true;
    } else if (sameText(name, "content-length")) {
        if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
            return "malformed Content-Length";
        }
        // Compared as numbers: leading zeros do not make a difference.
        size_t digit = value.find_first_not_of('0');
        value = digit == std::string_view::npos ? std::string_view("0") : value.substr(digit);
        if (!headers.contentLength.empty() && headers.contentLength != value) {
            return "contradicting Content-Length";
        }
        headers.contentLength = value;
        headers.hasBody = headers.hasBody || value != "0";
    }
    return nullptr;
}

// The header lines up to the empty line that ends the head.
const char* readHeaders(std::string_view head, Headers& headers)
{
    size_t count = 0;
    while (!head.empty()) {
        std::string_view line = takeLine(head);
        if (line.empty()) {
            break;
        }
        if (++count > kMaxHttpHeaders) {
            return "too many header lines";
        }
        if (const char* fault = readHeaderLine(line, headers)) {
            return fault;
        }
    }
    return nullptr;
}

}  // namespace

HttpParseResult parseHttpRequest(std::string_view bytes, HttpRequest& request)
{
    size_t start = 0;
    size_t end = 0;
    if (const char* fault = findHead(bytes, start, end)) {
        return bad(fault);
    }
    if (end == std::string_view::npos) {
        return HttpParseResult{};
    }
    std::string_view head = bytes.substr(start, end - start);
    RequestLine line;
    if (const char* fault = parseRequestLine(takeLine(head), line)) {
        return bad(fault);
    }
    Headers headers;
    if (const char* fault = readHeaders(head, headers)) {
        return bad(fault);
    }
    if (!line.http10 && headers.hosts != 1) {
        return bad(headers.hosts == 0 ? "no Host header" : "more than one Host header");
    }

    HttpMethod kind = line.method == "GET"    ? HttpMethod::Get
                      : line.method == "HEAD" ? HttpMethod::Head
                                              : HttpMethod::Other;
    request.method = kind;
    request.method_text = line.method;
    request.path = line.path;
    if (kind == HttpMethod::Other) {
        // Its body, if any, is not read: the connection cannot go on.
        request.keep_alive = false;
    } else {
        if (headers.hasBody) {
            return bad("a GET or HEAD request with a body");
        }
        request.keep_alive = !headers.close && (!line.http10 || headers.keepAlive);
    }
    HttpParseResult result;
    result.outcome = HttpParseOutcome::Request;
    result.consumed = end;
    return result;
}

}  // namespace simplatform
