// The HTTP port's routes: the answer to one request, by method and path.
//   /               the map page (mappage.html, built in)
//   /api/v1/state   the control port's state document; 503 without a map
//   /api/v1/stats   the control port's stats document
//   /api/v1/events  Server-Sent Events: a snapshot, then one event per change
//   /metrics        the counters and symbol statuses for Prometheus
// GET and HEAD only; another method is answered 405 and ends the
// connection, since its body is not read. Nothing here changes the map.
#pragma once

#include <string>

#include "httprequest.h"

namespace simplatform {

struct HttpAnswer {
    std::string bytes;    // the whole response, or an event stream's head
    bool close = false;   // the connection ends once it is sent
    bool events = false;  // the connection becomes an event client
};

HttpAnswer answerHttpRequest(const HttpRequest& request);

}  // namespace simplatform
