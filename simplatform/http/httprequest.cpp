// The HTTP port's request parser. The head is found first (its end within
// the size limit), then read line by line; every failure leaves through
// bad() with the reason the 400 body names.
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

}  // namespace

HttpParseResult parseHttpRequest(std::string_view bytes, HttpRequest& request)
{
    // Empty lines before the request line are skipped; they count against
    // the limit like the head itself.
    size_t start = 0;
    while (start < bytes.size() && (bytes[start] == '\r' || bytes[start] == '\n')) {
        ++start;
    }
    if (start > kMaxHttpHeadBytes) {
        return bad("request head too large");
    }

    // The head ends at the first empty line: LF LF or LF CR LF.
    size_t end = std::string_view::npos;
    size_t window = bytes.size() < kMaxHttpHeadBytes ? bytes.size() : kMaxHttpHeadBytes;
    for (size_t i = start; i < window; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (isStray(c)) {
            return bad("control byte in the request head");
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
            return bad("request head too large");
        }
        // Nothing wrong yet; but a first line that cannot begin a request
        // line is refused now rather than after 8 KiB.
        if (start < bytes.size() && !isTokenChar(static_cast<unsigned char>(bytes[start]))) {
            return bad("malformed request line");
        }
        return HttpParseResult{};
    }

    std::string_view head = bytes.substr(start, end - start);
    std::string_view line = takeLine(head);
    if (line.find('\r') != std::string_view::npos) {
        return bad("CR inside a line");
    }

    // request-line = method SP request-target SP HTTP-version
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        return bad("malformed request line");
    }
    std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    if (!isToken(method)) {
        return bad("malformed method");
    }
    for (char c : target) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127) {
            return bad("malformed request target");
        }
    }
    std::string_view path = targetPath(target);
    if (path.empty()) {
        return bad("malformed request target");
    }
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9') {
        return bad("unsupported HTTP version");
    }
    bool http10 = version[7] == '0';

    HttpMethod kind = method == "GET" ? HttpMethod::Get : method == "HEAD" ? HttpMethod::Head : HttpMethod::Other;
    size_t headers = 0;
    size_t hosts = 0;
    bool close = false;
    bool keepAlive = false;
    bool hasBody = false;
    std::string_view contentLength;
    while (!head.empty()) {
        line = takeLine(head);
        if (line.empty()) {
            break;
        }
        if (++headers > kMaxHttpHeaders) {
            return bad("too many header lines");
        }
        if (line.find('\r') != std::string_view::npos) {
            return bad("CR inside a line");
        }
        if (line.front() == ' ' || line.front() == '\t') {
            return bad("folded header line");
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
            return bad("malformed header line");
        }
        std::string_view name = line.substr(0, colon);
        std::string_view value = trimmed(line.substr(colon + 1));
        if (sameText(name, "host")) {
            ++hosts;
        } else if (sameText(name, "connection")) {
            readConnectionTokens(value, close, keepAlive);
        } else if (sameText(name, "transfer-encoding")) {
            hasBody = true;
        } else if (sameText(name, "content-length")) {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
                return bad("malformed Content-Length");
            }
            // Compared as numbers: leading zeros do not make a difference.
            size_t digit = value.find_first_not_of('0');
            value = digit == std::string_view::npos ? std::string_view("0") : value.substr(digit);
            if (!contentLength.empty() && contentLength != value) {
                return bad("contradicting Content-Length");
            }
            contentLength = value;
            hasBody = hasBody || value != "0";
        }
    }
    if (!http10 && hosts != 1) {
        return bad(hosts == 0 ? "no Host header" : "more than one Host header");
    }

    request.method = kind;
    request.method_text = method;
    request.path = path;
    if (kind == HttpMethod::Other) {
        // Its body, if any, is not read: the connection cannot go on.
        request.keep_alive = false;
    } else {
        if (hasBody) {
            return bad("a GET or HEAD request with a body");
        }
        request.keep_alive = !close && (!http10 || keepAlive);
    }
    HttpParseResult result;
    result.outcome = HttpParseOutcome::Request;
    result.consumed = end;
    return result;
}

}  // namespace simplatform
