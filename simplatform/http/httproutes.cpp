// The HTTP port's routes and the documents they serve.
#include "httproutes.h"

#include <string_view>

#include "../mapdb/mapview.h"
#include "../runtime/stats.h"
#include "httpresponse.h"
#include "mappage.h"
#include "metrics.h"

namespace simplatform {
namespace {

constexpr const char* kPageHeaders =
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'\r\n";

}  // namespace

HttpAnswer answerHttpRequest(const HttpRequest& request)
{
    HttpAnswer answer;
    answer.close = !request.keep_alive;
    bool close = answer.close;
    bool head = request.method == HttpMethod::Head;
    std::string_view path = request.path;
    std::string& out = answer.bytes;
    if (request.method == HttpMethod::Other) {
        appendHttpResponse(out, 405, kJsonContentType, httpErrorJson("only GET and HEAD"), true, head,
                           "Allow: GET, HEAD\r\n");
        answer.close = true;
    } else if (path == "/") {
        appendHttpResponse(out, 200, kMapPageContentType, mapPage(), close, head, kPageHeaders);
    } else if (path == "/api/v1/state") {
        std::string state = mapStateJson();
        if (state.empty()) {
            appendHttpResponse(out, 503, kJsonContentType, httpErrorJson("no map is open"), close, head);
        } else {
            appendHttpResponse(out, 200, kJsonContentType, state, close, head);
        }
    } else if (path == "/api/v1/stats") {
        appendHttpResponse(out, 200, kJsonContentType, statsJson(), close, head);
    } else if (path == "/metrics") {
        appendHttpResponse(out, 200, kMetricsContentType, metricsText(), close, head);
    } else if (path == "/api/v1/events") {
        // The stream has no length: it ends when the connection closes.
        appendHttpHead(out, 200, "text/event-stream", kNoLength, close || !head);
        answer.events = !head;
        answer.close = close && head;
    } else {
        appendHttpResponse(out, 404, kJsonContentType, httpErrorJson("no such path"), close, head);
    }
    return answer;
}

}  // namespace simplatform
