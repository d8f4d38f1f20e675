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

void EventClients::add(const std::shared_ptr<StreamConnection>& connection, std::string head)
{
    std::string out = std::move(head);
    appendEventStreamStart(out);
    std::string state = mapStateJson();
    appendEvent(out, ++lastEventId_, "snapshot", state.empty() ? "null" : state);
    Clock::time_point now = Clock::now();
    growth_.look(now);
    std::string data = statsData(now);
    appendStatsEvent(out, data);
    if (clients_.empty()) {
        lastStats_ = std::move(data);  // what every client has
    }
    clients_.push_back({connection, Clock::now()});
    if (clients_.size() == 1) {
        listen(true);
    }
    connection->send(std::move(out));
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
    std::vector<std::string> events(changes.size());
    for (size_t n = 0; n < changes.size(); ++n) {
        const MapChange& change = changes[n];
        const char* name = change.symbol != 0 ? "symbol" : "snapshot";
        appendEvent(events[n], ++lastEventId_, name, change.state.empty() ? "null" : change.state);
    }
    sendToAll(events, Clock::now());
}

void EventClients::sendToAll(const std::vector<std::string>& events, Clock::time_point now)
{
    // By index: a client dropped on the way leaves the list, and the next
    // one takes its place.
    for (size_t i = 0; i < clients_.size();) {
        std::shared_ptr<StreamConnection> c = clients_[i].connection;
        clients_[i].lastOutput = now;
        for (const std::string& event : events) {
            c->append(event);
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
    std::vector<std::string> events(1);
    appendStatsEvent(events[0], data);
    lastStats_ = std::move(data);
    sendToAll(events, now);
}

void EventClients::keepAlive(Clock::time_point now)
{
    for (size_t i = 0; i < clients_.size();) {
        std::shared_ptr<StreamConnection> c = clients_[i].connection;
        if (now - clients_[i].lastOutput >= kCommentAfter) {
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
