// The HTTP port's routes: the answer to one request, by method and path.
//   /               the map page (mappage.html, built in)
//   /api/v1/state   the control port's state document; 503 without a map
//   /api/v1/stats   the control port's stats document
//   /api/v1/events  Server-Sent Events: a snapshot, then one event per change
//   /metrics        the counters and symbol statuses for Prometheus
// GET and HEAD only; another method is answered 405 and ends the
// connection, since its body is not read. Nothing here changes the map.
//
// The documents that show the whole map (the state, the map's part of
// /metrics) are made by MapDocuments: once per change of the map, shared by
// every request that asks while it is current, and made a slice of objects
// a turn. A request that finds its document not yet made waits for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../mapdb/mapview.h"
#include "../runtime/streamserver.h"
#include "httprequest.h"

namespace simplatform {

enum class MapDocumentKind : std::uint8_t {
    State,    // the state document (mapStateJson's text)
    Metrics,  // the map's part of /metrics
};

// The map's documents, each made at most once per map change and handed to
// every request as the same SharedText. Made a slice (kSliceObjects, about
// kSliceBytes) a turn on a 1 ms timer, so that traps and informs are
// handled between slices; a map small enough for one slice is made in the
// turn that asks. A document shows the map at one instant, the one its
// making began at (MapSlices keeps what changes meanwhile as it was).
//
// Memory, per kind: the document being made, and at most kMaxMade made
// ones still referenced (by this, or by connections still sending them).
// While that many are alive no new one is begun for a request: it is given
// the newest one made of the open map, stale but whole, so that clients
// that do not read cannot make it keep a document per connection. An event
// stream's snapshot is exact and may make one more state document; an
// event client that does not read holds it only until the next change,
// whose event drops it (EventClients::kMaxBacklogBytes). A map opened
// begins anew: the documents of the one before count until their
// connections have sent them or gone.
class MapDocuments {
public:
    static constexpr std::size_t kKinds = 2;
    static constexpr std::size_t kMaxMade = 2;
    static constexpr std::chrono::milliseconds kSliceEvery{1};

    // ready runs (on a slice's turn) whenever a document was made or a
    // making was given up, so that requests waiting for one look again.
    explicit MapDocuments(std::function<void()> ready);
    ~MapDocuments();
    MapDocuments(const MapDocuments&) = delete;
    MapDocuments& operator=(const MapDocuments&) = delete;

    // The document of kind for a request made when mapChangeSerial() was
    // since: true and the document (null when no map is open), or false
    // when it is being made (begun now if need be): ready will run. Unless
    // exact, the newest one made of the open map may be given instead while
    // kMaxMade are alive. An event stream's snapshot must be exact: the
    // events after it carry only the changes made since it joined.
    bool find(MapDocumentKind kind, std::uint64_t since, SharedTextRef& text, bool exact = false);
    // Documents begun and documents made since the start, of kind.
    std::size_t begun(MapDocumentKind kind) const { return slots_[index(kind)].begun; }
    std::size_t made(MapDocumentKind kind) const { return slots_[index(kind)].made; }
    // Documents of kind alive: the one being made and those still referenced.
    std::size_t alive(MapDocumentKind kind);

private:
    struct Slot {
        MapDocumentKind kind = MapDocumentKind::State;
        SharedTextRef current;  // the newest made
        std::uint64_t currentSerial = 0;
        const MapHandle* currentMap = nullptr;                   // the map it was made of
        std::vector<std::weak_ptr<const SharedText>> handedOut;  // made ones, the newest last
        // The one being made.
        MapSlices slices;
        std::shared_ptr<SharedText> making;
        std::uint64_t makingSerial = 0;
        const MapHandle* makingMap = nullptr;
        std::size_t begun = 0;
        std::size_t made = 0;
    };
    static std::size_t index(MapDocumentKind kind) { return static_cast<std::size_t>(kind); }
    std::size_t madeAlive(Slot& slot);
    void begin(Slot& slot);
    bool slice(Slot& slot);
    void sliceTurn();

    std::function<void()> ready_;
    Slot slots_[kKinds];
    std::size_t nextSlot_ = 0;  // the slot whose making the next turn goes on with
    int timer_ = 0;
};

struct HttpAnswer {
    std::string bytes;     // the whole response, or its head, or an event stream's head
    SharedTextRef body;    // a shared document sent after bytes (none: bytes is all)
    bool close = false;    // the connection ends once it is sent
    bool events = false;   // the connection becomes an event client
    bool waiting = false;  // nothing yet: the document is being made, ask again when it is
};

// The answer to request, for a request made when the map's change serial
// was since (a request waiting for a document is answered with the one
// made for it, not an older one).
HttpAnswer answerHttpRequest(const HttpRequest& request, MapDocuments& documents, std::uint64_t since);

}  // namespace simplatform
