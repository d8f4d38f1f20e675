// The event stream's clients: joining, the turn's changes and the stats
// event to every client, keep-alive comments.
#include "eventclients.h"

#include <stdio.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "eventstream.h"

namespace simplatform {
namespace {

// The clients that hear of map changes; at most one set, the HTTP port's.
EventClients*& listening()
{
    static EventClients* clients = nullptr;
    return clients;
}

}  // namespace

EventClients::~EventClients()
{
    if (listening() == this) {
        listen(false);
    }
}

// The snapshot's id is the client's first, whenever the snapshot is sent:
// the events held meanwhile come after it.
void EventClients::add(const std::shared_ptr<StreamConnection>& connection, std::string head)
{
    Client client;
    client.connection = connection;
    client.lastOutput = Clock::now();
    client.held.resize(2);
    client.held[0].text = std::move(head);
    appendEventStreamStart(client.held[0].text);
    appendEventHead(client.held[0].text, ++lastEventId_, "snapshot");
    Clock::time_point now = Clock::now();
    growth_.look(now);
    std::string data = statsData(now);
    appendStatsEvent(client.held[1].text, data);
    if (clients_.empty()) {
        lastStats_ = std::move(data);  // what every client has
    }
    client.waiting = true;
    client.since = mapChangeSerial();
    clients_.push_back(std::move(client));
    if (clients_.size() == 1) {
        listen(true);
    }
    SharedTextRef state;
    if (documents_.find(MapDocumentKind::State, clients_.back().since, state, true)) {
        sendSnapshot(clients_.back(), state);
    }
}

void EventClients::documentsReady()
{
    // By index: a client dropped on the way leaves the list.
    for (size_t i = 0; i < clients_.size();) {
        std::shared_ptr<StreamConnection> c = clients_[i].connection;
        SharedTextRef state;
        if (clients_[i].waiting && documents_.find(MapDocumentKind::State, clients_[i].since, state, true)) {
            sendSnapshot(clients_[i], state);
        }
        if (!c->isDropped()) {
            ++i;
        }
    }
}

void EventClients::queue(StreamConnection& c, const Framed& event)
{
    c.append(event.text);
    if (event.shared) {
        c.appendShared(event.shared);
        c.append("\n\n");
    }
}

// The head, the stream's start, the snapshot and what was held behind it.
// The client may be dropped by the send: nothing of it is used after.
void EventClients::sendSnapshot(Client& client, const SharedTextRef& state)
{
    if (state) {
        client.held[0].shared = state;
    } else {
        client.held[0].text += "null\n\n";
    }
    client.waiting = false;
    std::shared_ptr<StreamConnection> c = client.connection;
    for (const Framed& event : client.held) {
        queue(*c, event);
    }
    client.held = std::vector<Framed>();
    client.heldBytes = 0;
    c->flush();
}

void EventClients::remove(const StreamConnection& connection)
{
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [&connection](const Client& c) { return c.connection.get() == &connection; }),
                   clients_.end());
    if (clients_.empty() && listening() == this) {
        listen(false);
    }
}

void EventClients::listen(bool on)
{
    listening() = on ? this : nullptr;
    setMapChangeListener(on ? &EventClients::onMapChange : nullptr);
}

void EventClients::onMapChange(const std::vector<MapChange>& changes)
{
    if (EventClients* clients = listening()) {
        clients->mapChanged(changes);
    }
}

// The turn's changes, at its end: one event each, with the same ids for
// every client. Small events go out together, in one send per client; past
// kFlushBytes what waits is sent before more is added, so a client that
// reads keeps up with a turn of many large changes and only one that does
// not is dropped.
void EventClients::mapChanged(const std::vector<MapChange>& changes)
{
    if (clients_.empty() || changes.empty()) {
        return;
    }
    std::vector<Framed> events(changes.size());
    for (size_t n = 0; n < changes.size(); ++n) {
        const MapChange& change = changes[n];
        if (change.symbol != 0) {
            appendEvent(events[n].text, ++lastEventId_, "symbol", change.state);
            continue;
        }
        // A map opened: its state, made once, shared by every client.
        appendEventHead(events[n].text, ++lastEventId_, "snapshot");
        if (change.state.empty()) {
            events[n].text += "null\n\n";
        } else {
            auto state = std::make_shared<SharedText>();
            state->pieces.push_back(change.state);
            state->size = change.state.size();
            events[n].shared = std::move(state);
        }
    }
    sendToAll(events, Clock::now());
}

void EventClients::sendToAll(const std::vector<Framed>& events, Clock::time_point now)
{
    // By index: a client dropped on the way leaves the list, and the next
    // one takes its place.
    for (size_t i = 0; i < clients_.size();) {
        std::shared_ptr<StreamConnection> c = clients_[i].connection;
        if (clients_[i].waiting) {
            // Held behind its snapshot, and counted as if sent.
            Client& client = clients_[i];
            for (const Framed& event : events) {
                client.held.push_back(event);
                client.heldBytes += event.size();
            }
            if (client.heldBytes > kMaxBacklogBytes) {
                fprintf(stderr, "simplatform: HTTP port: event client dropped: it does not read its events\n");
                c->drop();
            }
            if (!c->isDropped()) {
                ++i;
            }
            continue;
        }
        clients_[i].lastOutput = now;
        for (const Framed& event : events) {
            queue(*c, event);
            if (c->unsent() > kMaxBacklogBytes) {
                fprintf(stderr, "simplatform: HTTP port: event client dropped: it does not read its events\n");
                c->drop();
                break;
            }
            if (c->unsent() > kFlushBytes) {
                c->flush();
                if (c->isDropped()) {
                    break;
                }
            }
        }
        c->flush();
        if (!c->isDropped()) {
            ++i;
        }
    }
}

std::string EventClients::statsData(Clock::time_point now) const
{
    std::string data = "{\"stats\":" + statsJson() + ",\"grew\":[";
    bool first = true;
    for (size_t row = 0; row < kCounterCount; ++row) {
        if (growth_.grewWithin(row, kGrowthWindow, now)) {
            data += first ? "\"" : ",\"";
            data += kCounters[row].key;
            data += '"';
            first = false;
        }
    }
    return data + "],\"grewWithinSeconds\":" + std::to_string(kGrowthWindow.count());
}

void EventClients::appendStatsEvent(std::string& out, const std::string& data)
{
    std::string event = data + ",\"time\":" + std::to_string(static_cast<long long>(std::time(nullptr))) + "}";
    appendEvent(out, ++lastEventId_, "stats", event);
}

// Nothing is made while no client listens but the look, which compares the
// counters with the last look's.
void EventClients::statsTick(Clock::time_point now)
{
    growth_.look(now);
    if (clients_.empty()) {
        lastStats_.clear();
        return;
    }
    std::string data = statsData(now);
    if (data == lastStats_) {
        return;
    }
    std::vector<Framed> events(1);
    appendStatsEvent(events[0].text, data);
    lastStats_ = std::move(data);
    sendToAll(events, now);
}

void EventClients::keepAlive(Clock::time_point now)
{
    for (size_t i = 0; i < clients_.size();) {
        std::shared_ptr<StreamConnection> c = clients_[i].connection;
        // One waiting for its snapshot has not been sent its head yet.
        if (!clients_[i].waiting && now - clients_[i].lastOutput >= kCommentAfter) {
            clients_[i].lastOutput = now;
            std::string comment;
            appendEventComment(comment, "keep-alive");
            c->append(comment);
            c->flush();
        }
        if (!c->isDropped()) {
            ++i;
        }
    }
}

}  // namespace simplatform
