// The HTTP port's responses.
#include "httpresponse.h"

#include <stdio.h>

namespace simplatform {

const char* httpReason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    default:
        return "Unknown";
    }
}

void appendHttpHead(std::string& out, int status, std::string_view contentType, size_t length, bool close,
                    std::string_view extraHeaders)
{
    char line[64];
    snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", status, httpReason(status));
    out += line;
    out += "Content-Type: ";
    out += contentType;
    out += "\r\n";
    if (length != kNoLength) {
        snprintf(line, sizeof line, "Content-Length: %zu\r\n", length);
        out += line;
    }
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (close) {
        out += "Connection: close\r\n";
    }
    out += extraHeaders;
    out += "\r\n";
}

void appendHttpResponse(std::string& out, int status, std::string_view contentType, std::string_view body,
                        bool close, bool headOnly, std::string_view extraHeaders)
{
    appendHttpHead(out, status, contentType, body.size(), close, extraHeaders);
    if (!headOnly) {
        out += body;
    }
}

std::string httpErrorJson(std::string_view text)
{
    std::string body = "{\"error\":\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        body += (u >= 32 && u < 127 && c != '"' && c != '\\') ? c : '?';
    }
    return body + "\"}";
}

}  // namespace simplatform
