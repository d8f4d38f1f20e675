// The event stream's clients: connections that asked for /api/v1/events.
//
// Each gets the stream's start and a snapshot of the map when it joins,
// then, at the end of every turn that changed the map, one event per change
// (a symbol's state, or a snapshot for a map opened), with the same ids for
// every client. A client that was sent nothing for kCommentAfter gets a
// comment on the next keepAlive, and one whose unsent events pass
// kMaxBacklogBytes is dropped. The map records changes for the port only
// while there is a client.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../mapdb/mapview.h"
#include "../runtime/streamserver.h"

namespace simplatform {

class EventClients {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr size_t kMaxBacklogBytes = 1 << 20;
    // Event bytes a client is sent at once at the end of a turn.
    static constexpr size_t kFlushBytes = size_t{64} * 1024;
    // With a keepAlive every 5 s, every gap stays under 15 s.
    static constexpr std::chrono::seconds kCommentAfter{9};

    EventClients() = default;
    ~EventClients();
    EventClients(const EventClients&) = delete;
    EventClients& operator=(const EventClients&) = delete;

    // The connection becomes a client: head (its response's head), the
    // stream's start and the snapshot are sent now.
    void add(const std::shared_ptr<StreamConnection>& connection, std::string head);
    // A client's connection was dropped.
    void remove(const StreamConnection& connection);
    // A comment to each client that was sent nothing for kCommentAfter.
    void keepAlive(Clock::time_point now);
    size_t count() const { return clients_.size(); }

private:
    struct Client {
        std::shared_ptr<StreamConnection> connection;
        Clock::time_point lastOutput;
    };
    static void onMapChange(const std::vector<MapChange>& changes);
    void mapChanged(const std::vector<MapChange>& changes);
    void listen(bool on);

    std::vector<Client> clients_;
    uint64_t lastEventId_ = 0;
};

}  // namespace simplatform
