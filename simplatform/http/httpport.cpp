// The HTTP port: connections, the turn of each, routing and the event
// stream's clients.
//
// A connection is in one of four phases:
//   Requests  reading requests; each answered before the next is looked at
//   Events    an event stream: only written to; what it sends is discarded
//   Closing   its last answer is going out; then Draining
//   Draining  the sending side is shut; what still comes is read and thrown
//             away until the peer closes (at most 64 KiB or 5 s), so that
//             the answer is not lost to a reset
// Its watches follow from its state (updateWatches): readable while it may
// read, writable while output waits or a pipelined request is already in
// its buffer (the socket is writable almost always, so that is the next
// turn of a request that needs no read).
#include "httpport.h"

#include <stdio.h>

#include <algorithm>

#include "../mapdb/mapview.h"
#include "../runtime/loop.h"
#include "../runtime/stats.h"
#include "eventstream.h"
#include "httpresponse.h"
#include "mappage.h"
#include "metrics.h"

namespace simplatform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxDrainBytes = 64 * 1024;
// Event bytes an event client is sent at once at the end of a turn.
constexpr size_t kFlushBytes = 64 * 1024;
constexpr std::chrono::seconds kDrainTimeout{5};
constexpr const char* kJson = "application/json";
constexpr const char* kPageHeaders =
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'\r\n";

// The port whose event clients hear of map changes; at most one.
HttpPort*& listeningPort()
{
    static HttpPort* port = nullptr;
    return port;
}

std::string metricsText()
{
    MetricsCounter counters[kCounterCount];
    for (size_t i = 0; i < kCounterCount; ++i) {
        counters[i] = {kCounters[i].metric, kCounters[i].help, counterValue(kCounters[i])};
    }
    std::string out;
    appendMetricsCounters(out, counters, kCounterCount);
    appendMetricsStatusFamily(out);
    visitMapSymbols([&out](const MapSymbolView& symbol) {
        appendMetricsSymbol(out, {symbol.map, symbol.submap, symbol.id, symbol.label, symbol.status});
    });
    return out;
}

enum class Phase {
    Requests,
    Events,
    Closing,
    Draining
};

}  // namespace

struct HttpPort::Connection {
    Socket socket{};
    Phase phase = Phase::Requests;
    std::string input;
    std::string output;
    size_t sent = 0;          // bytes of output the peer has taken
    bool inputReady = false;  // input may hold a whole request
    bool readWatched = false;
    bool writeWatched = false;
    bool dead = false;
    size_t drained = 0;
    Clock::time_point since;     // the end of the last answer, or the start of Draining
    Clock::time_point progress;  // the last time the peer took output
    Clock::time_point lastOutput;

    size_t unsent() const { return output.size() - sent; }
};

std::unique_ptr<HttpPort> HttpPort::open(const std::string& hostPort, std::string& error)
{
    sockaddr_in addr{};
    if (!parseHostPort(hostPort, addr, error)) {
        return nullptr;
    }
    std::string reason;
    Socket s = listenStream(reinterpret_cast<const sockaddr*>(&addr), sizeof addr,
                            static_cast<int>(kMaxConnections), reason);
    if (s == kNoSocket) {
        error = "cannot listen on " + hostPort + ": " + reason;
        return nullptr;
    }
    std::unique_ptr<HttpPort> port(new HttpPort);
    port->listener_ = s;
    port->port_ = boundPort(s);
    HttpPort* self = port.get();
    watchSocket(s, [self] { self->acceptConnections(); });
    return port;
}

HttpPort::~HttpPort()
{
    close();
}

void HttpPort::close()
{
    if (closed_) {
        return;
    }
    closed_ = true;
    closeSocket(listener_);
    for (const Ref& c : connections_) {
        c->dead = true;
        closeSocket(c->socket);
    }
    connections_.clear();
    eventClients_ = 0;
    if (listeningPort() == this) {
        listeningPort() = nullptr;
        setMapChangeListener(nullptr);
    }
    connectionsChanged();
}

void HttpPort::acceptConnections()
{
    for (int i = 0; i < kMaxAcceptsPerTurn && !closed_; ++i) {
        Socket s = acceptClient(listener_);
        if (s == kNoSocket) {
            if (!retryLater()) {
                fprintf(stderr, "simplatform: HTTP port: cannot accept a connection: %s\n",
                        lastSocketError().c_str());
            }
            return;
        }
        if (connections_.size() >= kMaxConnections) {
            std::string busy;
            appendHttpResponse(busy, 503, kJson, httpErrorJson("too many connections"), true, false);
            sendSome(s, busy.data(), busy.size());
            closeSocket(s);
            continue;
        }
        auto c = std::make_shared<Connection>();
        c->socket = s;
        c->since = c->progress = Clock::now();
        connections_.push_back(c);
        updateWatches(c);
    }
    connectionsChanged();
}

void HttpPort::readTurn(const Ref& c)
{
    if (c->dead) {
        return;
    }
    char bytes[kReadBytes];
    long count = receiveSome(c->socket, bytes, sizeof bytes);
    if (count < 0 && retryLater()) {
        return;
    }
    if (count <= 0) {
        // The peer is gone or done sending. An answer on its way still goes
        // out; requests not yet read are lost with the connection.
        if (count == 0 && c->phase == Phase::Requests && c->unsent() > 0) {
            c->phase = Phase::Closing;
            updateWatches(c);
        } else {
            drop(c);
        }
        return;
    }
    switch (c->phase) {
    case Phase::Requests:
        c->input.append(bytes, static_cast<size_t>(count));
        c->inputReady = true;
        serveOne(c);
        break;
    case Phase::Draining:
        c->drained += static_cast<size_t>(count);
        if (c->drained > kMaxDrainBytes) {
            drop(c);
            return;
        }
        break;
    case Phase::Events:
    case Phase::Closing:
        break;  // nothing an event client sends means anything
    }
    updateWatches(c);
}

void HttpPort::writeTurn(const Ref& c)
{
    flush(c);
    if (c->dead) {
        return;
    }
    if (c->unsent() == 0 && c->phase == Phase::Requests && c->inputReady) {
        serveOne(c);
    }
    updateWatches(c);
}

// Answers the first request in the connection's input, if it is whole.
void HttpPort::serveOne(const Ref& c)
{
    if (c->dead || c->phase != Phase::Requests || c->unsent() > 0) {
        return;
    }
    HttpRequest request;
    HttpParseResult parsed = parseHttpRequest(c->input, request);
    switch (parsed.outcome) {
    case HttpParseOutcome::Incomplete:
        c->inputReady = false;
        return;
    case HttpParseOutcome::Bad:
        c->input.clear();
        c->inputReady = false;
        appendHttpResponse(c->output, 400, kJson, httpErrorJson(parsed.reason), true, false);
        c->phase = Phase::Closing;
        break;
    case HttpParseOutcome::Request:
        c->since = Clock::now();
        answer(c, request);
        // request points into the input: taken away only now.
        c->input.erase(0, parsed.consumed);
        c->inputReady = !c->input.empty();
        break;
    }
    flush(c);
    if (!c->dead && c->phase == Phase::Closing && c->unsent() == 0) {
        finish(c);
    }
}

void HttpPort::answer(const Ref& c, const HttpRequest& request)
{
    bool close = !request.keep_alive;
    bool head = request.method == HttpMethod::Head;
    std::string_view path = request.path;
    std::string& out = c->output;
    if (request.method == HttpMethod::Other) {
        appendHttpResponse(out, 405, kJson, httpErrorJson("only GET and HEAD"), true, head,
                           "Allow: GET, HEAD\r\n");
        close = true;
    } else if (path == "/") {
        appendHttpResponse(out, 200, kMapPageContentType, mapPage(), close, head, kPageHeaders);
    } else if (path == "/api/v1/state") {
        std::string state = mapStateJson();
        if (state.empty()) {
            appendHttpResponse(out, 503, kJson, httpErrorJson("no map is open"), close, head);
        } else {
            appendHttpResponse(out, 200, kJson, state, close, head);
        }
    } else if (path == "/api/v1/stats") {
        appendHttpResponse(out, 200, kJson, statsJson(), close, head);
    } else if (path == "/metrics") {
        appendHttpResponse(out, 200, kMetricsContentType, metricsText(), close, head);
    } else if (path == "/api/v1/events") {
        appendHttpHead(out, 200, "text/event-stream", kNoLength, close || !head);
        if (!head) {
            startEvents(c);
            return;
        }
    } else {
        appendHttpResponse(out, 404, kJson, httpErrorJson("no such path"), close, head);
    }
    if (close) {
        c->phase = Phase::Closing;
    }
}

// The connection becomes an event client: the stream's start and a snapshot
// now, then every change of the map (mapChanged).
void HttpPort::startEvents(const Ref& c)
{
    c->phase = Phase::Events;
    c->input.clear();
    c->inputReady = false;
    appendEventStreamStart(c->output);
    std::string state = mapStateJson();
    appendEvent(c->output, ++lastEventId_, "snapshot", state.empty() ? "null" : state);
    c->lastOutput = Clock::now();
    if (eventClients_++ == 0) {
        listeningPort() = this;
        setMapChangeListener(&HttpPort::onMapChange);
    }
}

void HttpPort::onMapChange(const std::vector<MapChange>& changes)
{
    if (HttpPort* port = listeningPort()) {
        port->mapChanged(changes);
    }
}

// The turn's changes, at its end: one event each (a symbol's, or a snapshot
// for a map opened), with the same ids for every event client. Small events
// go out together, in one send per client; past kFlushBytes what waits is
// sent before more is added, so a client that reads keeps up with a turn
// of many large changes and only one that does not is dropped.
void HttpPort::mapChanged(const std::vector<MapChange>& changes)
{
    if (closed_ || eventClients_ == 0 || changes.empty()) {
        return;
    }
    std::vector<std::string> events(changes.size());
    for (size_t n = 0; n < changes.size(); ++n) {
        const MapChange& change = changes[n];
        const char* name = change.symbol != 0 ? "symbol" : "snapshot";
        appendEvent(events[n], ++lastEventId_, name, change.state.empty() ? "null" : change.state);
    }
    Clock::time_point now = Clock::now();
    // By index: a client dropped on the way leaves the list, and the next
    // one takes its place.
    for (size_t i = 0; i < connections_.size();) {
        Ref c = connections_[i];
        if (c->phase != Phase::Events) {
            ++i;
            continue;
        }
        c->lastOutput = now;
        for (const std::string& event : events) {
            if (c->sent > 0) {
                c->output.erase(0, c->sent);
                c->sent = 0;
            }
            c->output += event;
            if (c->unsent() > kMaxEventBacklogBytes) {
                fprintf(stderr, "simplatform: HTTP port: event client dropped: it does not read its events\n");
                drop(c);
                break;
            }
            if (c->unsent() > kFlushBytes) {
                flush(c);
                if (c->dead) {
                    break;
                }
            }
        }
        if (c->dead) {
            continue;
        }
        flush(c);
        if (c->dead) {
            continue;
        }
        updateWatches(c);
        ++i;
    }
}

void HttpPort::tick()
{
    Clock::time_point now = Clock::now();
    for (size_t i = 0; i < connections_.size();) {
        Ref c = connections_[i];
        bool stuck = c->unsent() > 0 && now - c->progress > kIdleTimeout;
        bool idle = c->phase == Phase::Requests && c->unsent() == 0 && now - c->since > kIdleTimeout;
        bool drainOver = c->phase == Phase::Draining && now - c->since > kDrainTimeout;
        if (stuck || idle || drainOver) {
            drop(c);
            continue;
        }
        if (c->phase == Phase::Events && now - c->lastOutput >= kCommentAfter) {
            appendEventComment(c->output, "keep-alive");
            c->lastOutput = now;
            flush(c);
            if (c->dead) {
                continue;
            }
            updateWatches(c);
        }
        ++i;
    }
}

// Sends what the peer takes now, without waiting.
void HttpPort::flush(const Ref& c)
{
    while (!c->dead && c->unsent() > 0) {
        long n = sendSome(c->socket, c->output.data() + c->sent, c->unsent());
        if (n < 0) {
            if (!retryLater()) {
                drop(c);
            }
            return;
        }
        c->sent += static_cast<size_t>(n);
        c->progress = Clock::now();
    }
    if (!c->dead && c->unsent() == 0) {
        c->output.clear();
        c->sent = 0;
        if (c->phase == Phase::Requests) {
            c->since = Clock::now();  // idle from the end of its last answer
        }
        if (c->phase == Phase::Closing) {
            finish(c);
        }
    }
}

// The last answer is out: shut the sending side and wait for the peer to
// close, reading what it still sends.
void HttpPort::finish(const Ref& c)
{
    if (c->dead || c->phase == Phase::Draining) {
        return;
    }
    c->phase = Phase::Draining;
    c->since = Clock::now();
    shutdownSending(c->socket);
}

void HttpPort::updateWatches(const Ref& c)
{
    if (c->dead) {
        return;
    }
    bool read = false;
    switch (c->phase) {
    case Phase::Requests:
        read = c->unsent() == 0 && !c->inputReady;
        break;
    case Phase::Events:
    case Phase::Draining:
        read = true;
        break;
    case Phase::Closing:
        read = false;
        break;
    }
    bool write = c->unsent() > 0 || (c->phase == Phase::Requests && c->inputReady);
    if (read != c->readWatched) {
        c->readWatched = read;
        if (read) {
            watchSocket(c->socket, [this, c] { readTurn(c); });
        } else {
            watchSocket(c->socket, nullptr);
        }
    }
    if (write != c->writeWatched) {
        c->writeWatched = write;
        if (write) {
            watchSocketWritable(c->socket, [this, c] { writeTurn(c); });
        } else {
            watchSocketWritable(c->socket, nullptr);
        }
    }
}

void HttpPort::drop(const Ref& c)
{
    if (c->dead) {
        return;
    }
    Ref keep = c;
    keep->dead = true;
    closeSocket(keep->socket);
    if (keep->phase == Phase::Events && --eventClients_ == 0 && listeningPort() == this) {
        listeningPort() = nullptr;
        setMapChangeListener(nullptr);
    }
    connections_.erase(std::remove(connections_.begin(), connections_.end(), keep), connections_.end());
    connectionsChanged();
}

// The tick runs only while there are connections: an idle port costs
// nothing.
void HttpPort::connectionsChanged()
{
    if (connections_.empty() && timer_ != 0) {
        stopTimer(timer_);
        timer_ = 0;
    } else if (!connections_.empty() && timer_ == 0 && !closed_) {
        timer_ = startTimer(kTick, [this] { tick(); });
    }
}

}  // namespace simplatform
