// The HTTP port: a read-only window onto the map for people and monitors.
// GET and HEAD of
//   /               the map page (mappage.html, built in)
//   /api/v1/state   the control port's state document; 503 without a map
//   /api/v1/stats   the control port's stats document
//   /api/v1/events  Server-Sent Events: a snapshot, then one event per change
//   /metrics        the counters and symbol statuses for Prometheus
// over non-blocking TCP sockets watched through the message loop, like the
// control port. Nothing it does changes the map.
//
// Bounds (README.md, "HTTP port"): one read of at most 4 KiB and at most one
// request per connection per turn, and the next request only once the last
// answer is sent, so a connection holds at most one answer; at most 64
// connections and 16 accepted per turn; an event client whose unsent events
// pass 1 MiB is dropped; a connection is closed after 30 s without a
// request, or when its output has waited 30 s without the peer taking any.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../mapdb/mapview.h"
#include "../os/net.h"
#include "httprequest.h"

namespace simplatform {

class HttpPort {
public:
    static constexpr size_t kMaxConnections = 64;
    static constexpr size_t kMaxEventBacklogBytes = 1 << 20;
    static constexpr size_t kReadBytes = 4096;
    static constexpr int kMaxAcceptsPerTurn = 16;
    static constexpr std::chrono::seconds kIdleTimeout{30};
    static constexpr std::chrono::seconds kTick{5};
    // An event client that was sent nothing for this long gets a comment;
    // with the tick that keeps every gap under 15 s.
    static constexpr std::chrono::seconds kCommentAfter{9};

    // Listens on hostPort. Null and the reason when it cannot.
    static std::unique_ptr<HttpPort> open(const std::string& hostPort, std::string& error);
    ~HttpPort();
    HttpPort(const HttpPort&) = delete;
    HttpPort& operator=(const HttpPort&) = delete;

    // Closes the listener and every connection. Safe from inside a handler;
    // the object must then live until the handler has returned.
    void close();
    uint16_t port() const { return port_; }
    size_t connectionCount() const { return connections_.size(); }
    size_t eventClientCount() const { return eventClients_; }

private:
    struct Connection;
    using Ref = std::shared_ptr<Connection>;
    HttpPort() = default;
    static void onMapChange(const std::vector<MapChange>& changes);

    void acceptConnections();
    void readTurn(const Ref& c);
    void writeTurn(const Ref& c);
    void serveOne(const Ref& c);
    void answer(const Ref& c, const HttpRequest& request);
    void startEvents(const Ref& c);
    void mapChanged(const std::vector<MapChange>& changes);
    void tick();
    void flush(const Ref& c);
    void finish(const Ref& c);
    void updateWatches(const Ref& c);
    void drop(const Ref& c);
    void connectionsChanged();

    Socket listener_{};
    uint16_t port_ = 0;
    bool closed_ = false;
    int timer_ = 0;
    size_t eventClients_ = 0;
    uint64_t lastEventId_ = 0;
    std::vector<Ref> connections_;
};

}  // namespace simplatform
