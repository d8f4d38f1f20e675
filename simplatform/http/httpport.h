// The HTTP port: a read-only window onto the map for people and monitors
// (the routes: httproutes.h), over non-blocking TCP connections on the
// stream server (runtime/streamserver.h), like the control port. Nothing
// it does changes the map.
//
// Bounds (README.md, "HTTP port"): one read of at most kReadBytes and at
// most one request per connection per turn, and the next request only once
// the last answer is sent, so a connection holds at most one answer; at
// most kMaxConnections connections and kMaxConnectionsPerAddress from one
// host (loopback aside), StreamServer::kMaxAcceptsPerTurn accepted per
// turn; at either cap a newcomer gets in by closing the least recently
// active connection without an answer in flight (an event client always
// has one); a send buffer of kSendBufferBytes a connection; an event client
// whose unsent events pass EventClients::kMaxBacklogBytes is dropped (with
// a reset, as is any connection dropped with output unsent); a connection
// is closed kIdleTimeout after its last answer without a request, or when
// its output has waited kIdleTimeout without the peer taking any. A request
// for a map's document that is being made waits for it (MapDocuments): it
// has an answer in flight then, and reads nothing more until it is sent.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../runtime/streamserver.h"
#include "eventclients.h"
#include "httproutes.h"

namespace simplatform {

class HttpPort {
public:
    // Also the listen backlog.
    static constexpr size_t kMaxConnections = 64;
    static constexpr size_t kMaxConnectionsPerAddress = 16;
    // What the system may hold for a peer, instead of the megabytes it
    // grows to by itself: a client that does not read costs that much.
    static constexpr int kSendBufferBytes = 64 * 1024;
    static constexpr size_t kReadBytes = 4096;
    static constexpr std::chrono::seconds kIdleTimeout{30};
    // Idle connections are looked for, and event clients kept alive, this
    // often while a connection is open.
    static constexpr std::chrono::seconds kTick{5};

    // Listens on hostPort. Null and the reason when it cannot.
    static std::unique_ptr<HttpPort> open(const std::string& hostPort, std::string& error);
    ~HttpPort();
    HttpPort(const HttpPort&) = delete;
    HttpPort& operator=(const HttpPort&) = delete;

    // Closes the listener and every connection. Safe from inside a handler;
    // the object must then live until the handler has returned.
    void close();
    uint16_t port() const { return port_; }
    size_t connectionCount() const { return server_.connectionCount(); }
    size_t eventClientCount() const { return events_.count(); }

    // The map's documents, for a look at what they cost.
    MapDocuments& documents() { return documents_; }

private:
    class Connection;
    HttpPort() = default;
    // A document was made: the requests waiting for one look again.
    void documentsReady();

    uint16_t port_ = 0;
    int statsTimer_ = 0;  // EventClients::statsTick while the port is open
    MapDocuments documents_{[this] { documentsReady(); }};
    // Connections whose request waits for a document (at most one each).
    std::vector<std::shared_ptr<Connection>> waiting_;
    EventClients events_{documents_};
    // Last: closed and destroyed first, while what its hooks use is alive.
    StreamServer server_;
};

}  // namespace simplatform
