// The HTTP port's connections: the turn of each, from bytes read to the
// answer queued, on the stream server.
//
// A connection reads requests and answers each before the next is looked
// at, or, once it asked for /api/v1/events, is an event client: only
// written to, what it sends discarded. Its watches follow from that
// (StreamServer asks): readable while it may read, writable while output
// waits or a pipelined request is already in its buffer (the socket is
// writable almost always, so that is the next turn of a request that needs
// no read). Closing after the last answer is the stream server's.
#include "httpport.h"

#include <algorithm>

#include "../os/net.h"
#include "../runtime/loop.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httproutes.h"

namespace simplatform {

class HttpPort::Connection : public StreamConnection {
public:
    explicit Connection(HttpPort& port)
        : port_(port)
    {
    }

    // A document was made: the request waiting for one looks again, as of
    // when it came.
    void documentReady() { serveOne(); }

protected:
    void readable() override;
    bool wantsRead() const override
    {
        return phase_ == Phase::Events || (unsent() == 0 && !inputReady_ && !waiting_);
    }
    bool wantsTurn() const override { return phase_ == Phase::Requests && inputReady_ && !waiting_; }
    void writable() override
    {
        if (unsent() == 0 && phase_ == Phase::Requests && inputReady_ && !waiting_) {
            serveOne();
        }
    }
    // An event client's answer never ends; a request already read is
    // answered on the next turn, or when its document is made.
    bool answering() const override { return phase_ == Phase::Events || inputReady_ || waiting_; }
    bool expired(Clock::time_point now) const override
    {
        bool stuck = unsent() > 0 && now - lastTaken() > kIdleTimeout;
        bool idle = phase_ == Phase::Requests && unsent() == 0 && !waiting_ && now - lastActive() > kIdleTimeout;
        return stuck || idle;
    }
    void dropped() override
    {
        if (phase_ == Phase::Events) {
            port_.events_.remove(*this);
        }
        if (waiting_) {
            waiting_ = false;
            auto& list = port_.waiting_;
            list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& c) { return c.get() == this; }),
                       list.end());
        }
    }

private:
    enum class Phase {
        Requests,
        Events
    };
    void serveOne();

    HttpPort& port_;
    Phase phase_ = Phase::Requests;
    std::string input_;
    bool inputReady_ = false;  // input may hold a whole request
    bool waiting_ = false;     // its first request waits for a document
    uint64_t since_ = 0;       // the map's change serial when that request came
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
    port->port_ = boundPort(s);
    StreamServer::Rules rules;
    rules.maxConnections = kMaxConnections;
    rules.maxPerAddress = kMaxConnectionsPerAddress;
    rules.evictAtCap = true;
    rules.sendBufferBytes = kSendBufferBytes;
    appendHttpResponse(rules.refusal, 503, kJsonContentType, httpErrorJson("too many connections"), true, false);
    rules.acceptFailure = "simplatform: HTTP port: cannot accept a connection";
    rules.tick = kTick;
    HttpPort* self = port.get();
    rules.onTick = [self](StreamServer::Clock::time_point now) { self->events_.keepAlive(now); };
    port->server_.start(s, std::move(rules), [self] { return std::make_shared<Connection>(*self); });
    // The counters are looked at while the port is open, clients or not, so
    // that a page opened later still sees what grew before it came.
    port->statsTimer_ = startTimer(EventClients::kStatsEvery,
                                   [self] { self->events_.statsTick(EventClients::Clock::now()); });
    return port;
}

HttpPort::~HttpPort()
{
    close();
}

void HttpPort::close()
{
    stopTimer(statsTimer_);
    statsTimer_ = 0;
    server_.close();
}

void HttpPort::Connection::readable()
{
    char bytes[kReadBytes];
    long count = receiveSome(socket(), bytes, sizeof bytes);
    if (count < 0 && retryLater()) {
        return;
    }
    if (count <= 0) {
        // The peer is gone or done sending. An answer on its way still goes
        // out; requests not yet read are lost with the connection.
        if (count == 0 && phase_ == Phase::Requests && unsent() > 0) {
            closeWhenSent();
        } else {
            drop();
        }
        return;
    }
    // Nothing an event client sends means anything.
    if (phase_ == Phase::Requests) {
        input_.append(bytes, static_cast<size_t>(count));
        inputReady_ = true;
        serveOne();
    }
}

// Answers the first request in the connection's input, if it is whole.
void HttpPort::Connection::serveOne()
{
    if (!isOpen() || phase_ != Phase::Requests || unsent() > 0) {
        return;
    }
    HttpRequest request;
    HttpParseResult parsed = parseHttpRequest(input_, request);
    if (parsed.outcome == HttpParseOutcome::Incomplete) {
        inputReady_ = false;
        return;
    }
    if (parsed.outcome == HttpParseOutcome::Bad) {
        input_.clear();
        inputReady_ = false;
        std::string out;
        appendHttpResponse(out, 400, kJsonContentType, httpErrorJson(parsed.reason), true, false);
        sendAndClose(std::move(out));
        return;
    }
    markActive();
    if (!waiting_) {
        since_ = mapChangeSerial();
    }
    HttpAnswer answer = answerHttpRequest(request, port_.documents_, since_);
    waiting_ = answer.waiting;
    if (waiting_) {
        // Looked at again, parsed anew, when a document is made.
        port_.waiting_.push_back(std::static_pointer_cast<Connection>(shared_from_this()));
        return;
    }
    // request points into the input: taken away only now.
    input_.erase(0, parsed.consumed);
    inputReady_ = !input_.empty();
    if (answer.events) {
        phase_ = Phase::Events;
        input_.clear();
        inputReady_ = false;
        port_.events_.add(shared_from_this(), std::move(answer.bytes));
    } else if (answer.body) {
        append(answer.bytes);
        appendShared(std::move(answer.body));
        if (answer.close) {
            closeWhenSent();
        } else {
            flush();
        }
    } else if (answer.close) {
        sendAndClose(std::move(answer.bytes));
    } else {
        send(std::move(answer.bytes));
    }
}

void HttpPort::documentsReady()
{
    // Taken out first: a request that still waits (for a newer document
    // than this one) puts itself back.
    std::vector<std::shared_ptr<Connection>> ready;
    ready.swap(waiting_);
    for (const std::shared_ptr<Connection>& c : ready) {
        if (!c->isDropped()) {
            c->documentReady();
        }
    }
    events_.documentsReady();
}

}  // namespace simplatform
