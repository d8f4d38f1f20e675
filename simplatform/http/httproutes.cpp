// The HTTP port's routes and the documents they serve.
#include "httproutes.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "../mapdb/mapdb.h"
#include "../runtime/loop.h"
#include "../runtime/stats.h"
#include "httpresponse.h"
#include "mappage.h"
#include "metrics.h"

namespace simplatform {
namespace {

constexpr const char* kPageHeaders =
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'\r\n";

void appendStateObject(std::string& out, const MapDatabase&, const ObjectData& object, std::size_t index, unsigned)
{
    if (index > 0) {
        out += ',';
    }
    appendObjectState(out, object);
}

void appendMetricsPart(std::string& out, const MapDatabase& map, const ObjectData& object, std::size_t,
                       unsigned pass)
{
    appendMetricsObject(out, map, object, pass);
}

}  // namespace

// ---- the map's documents ----

MapDocuments::MapDocuments(std::function<void()> ready)
    : ready_(std::move(ready))
{
    slots_[index(MapDocumentKind::State)].kind = MapDocumentKind::State;
    slots_[index(MapDocumentKind::Metrics)].kind = MapDocumentKind::Metrics;
}

MapDocuments::~MapDocuments()
{
    stopTimer(timer_);
}

bool MapDocuments::find(MapDocumentKind kind, std::uint64_t since, SharedTextRef& text, bool exact)
{
    Slot& slot = slots_[index(kind)];
    text = nullptr;
    if (openMap() == nullptr) {
        return true;
    }
    if (slot.current && slot.currentSerial >= since) {
        text = slot.current;
        return true;
    }
    if (slot.making) {
        // One begun before the request may lack what the request should
        // see: it waits for it all the same, and then for the next.
        return false;
    }
    if (!exact && slot.current && slot.currentMap == openMapHandle() && madeAlive(slot) >= kMaxMade) {
        text = slot.current;
        return true;
    }
    begin(slot);
    if (slot.making) {
        return false;
    }
    text = slot.current;
    return true;
}

std::size_t MapDocuments::alive(MapDocumentKind kind)
{
    Slot& slot = slots_[index(kind)];
    return madeAlive(slot) + (slot.making ? 1 : 0);
}

std::size_t MapDocuments::madeAlive(Slot& slot)
{
    std::vector<std::weak_ptr<const SharedText>>& list = slot.handedOut;
    list.erase(std::remove_if(list.begin(), list.end(), [](const auto& text) { return text.expired(); }),
               list.end());
    return list.size();
}

// Begun in the turn that asks, with its first slice: a small map's document
// is made there and then.
void MapDocuments::begin(Slot& slot)
{
    const MapDatabase& map = *openMap();
    slot.making = std::make_shared<SharedText>();
    slot.makingSerial = mapChangeSerial();
    slot.makingMap = openMapHandle();
    slot.slices.begin(map, slot.kind == MapDocumentKind::State ? 1 : 2, true);
    ++slot.begun;
    if (slice(slot)) {
        return;
    }
    if (timer_ == 0) {
        timer_ = startTimer(kSliceEvery, [this] { sliceTurn(); });
    }
}

// The next slice, as one more piece: true once the making has ended (made,
// or given up with the map).
bool MapDocuments::slice(Slot& slot)
{
    // The map it was made of was closed or replaced since the last slice.
    if (!slot.slices.running()) {
        slot.making.reset();
        return true;
    }
    std::string piece;
    if (slot.making->pieces.empty()) {
        if (slot.kind == MapDocumentKind::State) {
            appendMapStateHead(piece, *slot.slices.map());
        } else {
            appendMetricsStatusFamily(piece);
        }
    }
    MapSlices::Step step = slot.slices.appendSlice(piece, slot.kind == MapDocumentKind::State ? appendStateObject
                                                                                              : appendMetricsPart);
    if (step == MapSlices::Step::PassDone) {
        appendMetricsChangedAtFamily(piece);
    } else if (step == MapSlices::Step::Done && slot.kind == MapDocumentKind::State) {
        piece += "]}";
    }
    if (!piece.empty()) {
        // What it grew to past its size is given back: a document alive
        // three times over must not weigh twice that.
        if (piece.capacity() > piece.size() + piece.size() / 8) {
            piece.shrink_to_fit();
        }
        slot.making->size += piece.size();
        slot.making->pieces.push_back(std::move(piece));
    }
    if (step != MapSlices::Step::Done) {
        return false;
    }
    slot.current = std::move(slot.making);
    slot.making.reset();
    slot.currentSerial = slot.makingSerial;
    slot.currentMap = slot.makingMap;
    slot.handedOut.emplace_back(slot.current);
    ++slot.made;
    return true;
}

// One slice a turn, of the documents being made in turn.
void MapDocuments::sliceTurn()
{
    for (std::size_t n = 0; n < kKinds; ++n) {
        Slot& slot = slots_[(nextSlot_ + n) % kKinds];
        if (!slot.making) {
            continue;
        }
        nextSlot_ = (index(slot.kind) + 1) % kKinds;
        bool ended = slice(slot);
        if (std::none_of(std::begin(slots_), std::end(slots_),
                         [](const Slot& s) { return s.making != nullptr; })) {
            stopTimer(timer_);
            timer_ = 0;
        }
        if (ended) {
            ready_();
        }
        return;
    }
    stopTimer(timer_);
    timer_ = 0;
}

// ---- the routes ----

HttpAnswer answerHttpRequest(const HttpRequest& request, MapDocuments& documents, std::uint64_t since)
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
        SharedTextRef state;
        if (!documents.find(MapDocumentKind::State, since, state)) {
            answer.waiting = true;
        } else if (!state) {
            appendHttpResponse(out, 503, kJsonContentType, httpErrorJson("no map is open"), close, head);
        } else {
            // HEAD too waits for the document: its Content-Length is the
            // document's size.
            appendHttpHead(out, 200, kJsonContentType, state->size, close);
            answer.body = head ? nullptr : state;
        }
    } else if (path == "/api/v1/stats") {
        appendHttpResponse(out, 200, kJsonContentType, statsJson(), close, head);
    } else if (path == "/metrics") {
        SharedTextRef symbols;
        if (!documents.find(MapDocumentKind::Metrics, since, symbols)) {
            answer.waiting = true;
            return answer;
        }
        std::string counters;
        appendKnownCounters(counters);
        if (!symbols) {
            appendMetricsStatusFamily(counters);
            appendMetricsChangedAtFamily(counters);
        }
        appendHttpHead(out, 200, kMetricsContentType, counters.size() + (symbols ? symbols->size : 0), close);
        if (!head) {
            out += counters;
            answer.body = symbols;
        }
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
