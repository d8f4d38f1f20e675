// The event stream's clients: connections that asked for /api/v1/events.
//
// Each gets the stream's start, a snapshot of the map and a stats event
// when it joins, then, at the end of every turn that changed the map, one
// event per change (a symbol's state, or a snapshot for a map opened), and
// a stats event whenever statsTick finds it changed, with the same ids for
// every client. A client that was sent nothing for kCommentAfter gets a
// comment on the next keepAlive, and one whose unsent events pass
// kMaxBacklogBytes is dropped. The map records changes for the port only
// while there is a client.
//
// The stats event: {"stats":<the stats document>,"grew":[<keys of the
// counters that grew in the last kGrowthWindow>],"grewWithinSeconds":300,
// "time":<the platform's clock, seconds since 1970>}. The window is the
// platform's monotonic clock's, so the page need not trust its own; it
// changes the event when a counter's growth leaves it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../mapdb/mapview.h"
#include "../runtime/stats.h"
#include "../runtime/streamserver.h"
#include "httproutes.h"

namespace simplatform {

class EventClients {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr size_t kMaxBacklogBytes = 1 << 20;
    // Event bytes a client is sent at once at the end of a turn.
    static constexpr size_t kFlushBytes = size_t{64} * 1024;
    // With a keepAlive every 5 s, every gap stays under 15 s.
    static constexpr std::chrono::seconds kCommentAfter{9};
    // statsTick is meant to run this often: the stats event goes out at
    // most this often, and only when it changed.
    static constexpr std::chrono::seconds kStatsEvery{1};
    static constexpr std::chrono::seconds kGrowthWindow{300};

    // The snapshots are the state documents of documents.
    explicit EventClients(MapDocuments& documents)
        : documents_(documents)
    {
    }
    ~EventClients();
    EventClients(const EventClients&) = delete;
    EventClients& operator=(const EventClients&) = delete;

    // The connection becomes a client: head (its response's head), the
    // stream's start, the snapshot and the stats event are sent now, or,
    // while the state document is being made, once it is; the events in
    // between wait behind them (kMaxBacklogBytes counts them).
    void add(const std::shared_ptr<StreamConnection>& connection, std::string head);
    // A document was made: clients waiting for their snapshot look again.
    void documentsReady();
    // A client's connection was dropped.
    void remove(const StreamConnection& connection);
    // A comment to each client that was sent nothing for kCommentAfter.
    void keepAlive(Clock::time_point now);
    // Looks at the counters; when the stats event differs from the last
    // one sent, sends it to every client, made once for all of them.
    void statsTick(Clock::time_point now);
    size_t count() const { return clients_.size(); }

private:
    // An event, or the start of one whose data is a shared document (then
    // "\n\n" ends it).
    struct Framed {
        std::string text;
        SharedTextRef shared;
        size_t size() const { return text.size() + (shared ? shared->size + 2 : 0); }
    };
    struct Client {
        std::shared_ptr<StreamConnection> connection;
        Clock::time_point lastOutput;
        // Waiting for its snapshot: the state at since, or later.
        bool waiting = false;
        uint64_t since = 0;
        std::vector<Framed> held;  // its first events, the snapshot's start first
        size_t heldBytes = 0;
    };
    static void queue(StreamConnection& c, const Framed& event);
    void sendSnapshot(Client& client, const SharedTextRef& state);
    static void onMapChange(const std::vector<MapChange>& changes);
    void mapChanged(const std::vector<MapChange>& changes);
    void listen(bool on);
    // The stats event's data without its time and closing brace.
    std::string statsData(Clock::time_point now) const;
    void appendStatsEvent(std::string& out, const std::string& data);
    // Framed events to every client, each dropped when its backlog passes
    // kMaxBacklogBytes.
    void sendToAll(const std::vector<Framed>& events, Clock::time_point now);

    MapDocuments& documents_;
    std::vector<Client> clients_;
    uint64_t lastEventId_ = 0;
    CounterGrowth growth_;
    std::string lastStats_;  // the data of the last stats event sent to all
};

}  // namespace simplatform
