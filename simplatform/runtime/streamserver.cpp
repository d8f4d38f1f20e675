// Serving stream connections on the message loop: accepting, the caps and
// making room, the output queue and its write watch, expiry, closing and
// draining.
#include "streamserver.h"

#include <stdio.h>

#include <algorithm>
#include <utility>

#include "loop.h"

namespace simplatform {

// ---- a connection ----

void StreamConnection::send(std::string bytes)
{
    if ((state_ != State::Open && state_ != State::Closing) || bytes.empty()) {
        return;
    }
    unsent_ += bytes.size();
    output_.push_back(Output{});
    output_.back().left = bytes.size();
    output_.back().bytes = std::move(bytes);
    StreamServer::Ref self = shared_from_this();
    server_->flush(self);
    server_->updateWatches(self);
}

void StreamConnection::append(std::string_view bytes)
{
    if ((state_ != State::Open && state_ != State::Closing) || bytes.empty()) {
        return;
    }
    if (output_.empty() || output_.back().shared) {
        output_.push_back(Output{});
        output_.back().bytes = std::move(spare_);
        spare_ = std::string();
        output_.back().bytes.assign(bytes.data(), bytes.size());
    } else {
        std::string& last = output_.back().bytes;
        // What the peer took of it goes first, so that a stream sent in
        // part turn after turn does not keep what was sent.
        if (output_.size() == 1 && sentOfFirst_ > 0) {
            last.erase(0, sentOfFirst_);
            sentOfFirst_ = 0;
        }
        last.append(bytes.data(), bytes.size());
    }
    output_.back().left += bytes.size();
    unsent_ += bytes.size();
}

void StreamConnection::appendShared(SharedTextRef text)
{
    if ((state_ != State::Open && state_ != State::Closing) || !text || text->size == 0) {
        return;
    }
    output_.push_back(Output{});
    output_.back().left = text->size;
    output_.back().shared = std::move(text);
    unsent_ += output_.back().left;
}

void StreamConnection::flush()
{
    if (state_ == State::Open || state_ == State::Closing) {
        StreamServer::Ref self = shared_from_this();
        server_->flush(self);
        server_->updateWatches(self);
    }
}

void StreamConnection::sendAndClose(std::string bytes)
{
    if (state_ != State::Open) {
        return;
    }
    if (!bytes.empty()) {
        unsent_ += bytes.size();
        output_.push_back(Output{});
        output_.back().left = bytes.size();
        output_.back().bytes = std::move(bytes);
    }
    state_ = State::Closing;
    StreamServer::Ref self = shared_from_this();
    if (unsent_ == 0) {
        server_->finish(self);
    } else {
        server_->flush(self);
    }
    server_->updateWatches(self);
}

void StreamConnection::closeWhenSent()
{
    sendAndClose({});
}

void StreamConnection::drop()
{
    if (server_ != nullptr) {
        server_->drop(shared_from_this());
    }
}

size_t StreamConnection::waitingBehindFirst() const
{
    return output_.empty() ? 0 : unsent_ - output_.front().left;
}

// ---- the server ----

StreamServer::~StreamServer()
{
    close();
}

void StreamServer::start(Socket listener, Rules rules, Maker make)
{
    rules_ = std::move(rules);
    make_ = std::move(make);
    listener_ = listener;
    watchSocket(listener_, [this] { acceptTurn(); });
}

void StreamServer::close()
{
    if (closed_) {
        return;
    }
    closed_ = true;
    if (listener_ != kNoSocket) {
        closeSocket(listener_);
        listener_ = kNoSocket;
    }
    stopTimer(timer_);
    timer_ = 0;
    std::vector<Ref> all;
    all.swap(connections_);
    for (const Ref& c : all) {
        c->state_ = State::Dropped;
        if (c->unsent_ > 0) {
            resetOnClose(c->socket_);
        }
        closeSocket(c->socket_);
        c->dropped();
    }
}

void StreamServer::acceptTurn()
{
    Clock::time_point now = Clock::now();
    // Connections that have gone quiet make room; looked at whenever
    // somebody connects, which is when room is wanted.
    if (rules_.expireOnAccept) {
        dropExpired(now);
    }
    // A bounded number per turn, so that a connection storm cannot hold the
    // loop; the rest wait in the listen queue for the next turn.
    for (int i = 0; i < kMaxAcceptsPerTurn && !closed_; ++i) {
        sockaddr_storage peer{};
        Socket s = acceptClient(listener_, &peer);
        if (s == kNoSocket) {
            if (!retryLater()) {
                fprintf(stderr, "%s: %s\n", rules_.acceptFailure.c_str(), lastSocketError().c_str());
            }
            break;
        }
        admit(s, hostAddressOf(peer), now);
    }
    connectionsChanged();
}

void StreamServer::admit(Socket s, const HostAddress& remote, Clock::time_point now)
{
    if (!makeRoom(remote)) {
        sendSome(s, rules_.refusal.data(), rules_.refusal.size());
        closeSocket(s);
        return;
    }
    if (rules_.sendBufferBytes > 0) {
        setSendBuffer(s, rules_.sendBufferBytes);
    }
    Ref c = make_();
    c->server_ = this;
    c->socket_ = s;
    c->remote_ = remote;
    c->lastActive_ = now;
    c->lastTaken_ = now;
    connections_.push_back(c);
    updateWatches(c);
}

// Whether a newcomer from remote may come in, once room is made where the
// rules allow it: first under its host's cap, then under the cap of all.
bool StreamServer::makeRoom(const HostAddress& remote)
{
    if (rules_.maxPerAddress > 0 && (rules_.capLoopback || !isLoopback(remote))) {
        size_t same = 0;
        for (const Ref& c : connections_) {
            if (c->remote_ == remote) {
                ++same;
            }
        }
        if (same >= rules_.maxPerAddress && !(rules_.evictAtCap && evictIdlest(&remote))) {
            return false;
        }
    }
    return connections_.size() < rules_.maxConnections || (rules_.evictAtCap && evictIdlest(nullptr));
}

// Closes the least recently active connection (of remote's, when given)
// that has no answer in flight; false when there is none. Connections that
// only keep a slot (idle, or sending a request bit by bit) thus cannot keep
// a newcomer out, and none is cut off in the middle of an answer.
bool StreamServer::evictIdlest(const HostAddress* remote)
{
    candidates_.clear();
    for (const Ref& c : connections_) {
        if ((remote == nullptr || c->remote_ == *remote) && !inFlight(*c)) {
            candidates_.push_back(c);
        }
    }
    // Oldest first (of equals the one accepted first). What the system
    // still holds for the peer is asked last, as it costs a system call.
    Ref victim;
    while (!victim && !candidates_.empty()) {
        auto idlest = std::min_element(candidates_.begin(), candidates_.end(),
                                       [](const Ref& a, const Ref& b) { return a->lastActive_ < b->lastActive_; });
        if (unsentBytes((*idlest)->socket_) == 0) {
            victim = *idlest;
        }
        candidates_.erase(idlest);
    }
    candidates_.clear();
    if (victim) {
        drop(victim);
    }
    return victim != nullptr;
}

// Output waits here, or the port is in the middle of an answer.
bool StreamServer::inFlight(const StreamConnection& c) const
{
    return c.unsent_ > 0 || (c.state_ == State::Open && c.answering());
}

void StreamServer::readTurn(const Ref& c)
{
    switch (c->state_) {
    case State::Open:
        c->readable();
        break;
    case State::Draining:
        drain(c);
        break;
    case State::Closing:
    case State::Dropped:
        return;
    }
    updateWatches(c);
}

void StreamServer::writeTurn(const Ref& c)
{
    flush(c);
    if (c->state_ == State::Open) {
        c->writable();
    }
    updateWatches(c);
}

void StreamServer::tick()
{
    Clock::time_point now = Clock::now();
    dropExpired(now);
    if (!closed_ && rules_.onTick) {
        rules_.onTick(now);
    }
}

void StreamServer::dropExpired(Clock::time_point now)
{
    // A copy: a dropped connection leaves the list, and its hook may change
    // it further.
    std::vector<Ref> all = connections_;
    for (const Ref& c : all) {
        if (c->state_ == State::Dropped) {
            continue;
        }
        if (c->state_ == State::Draining) {
            if (now - c->drainingSince_ > kDrainTimeout) {
                cutOff(c);
            }
        } else if (c->expired(now)) {
            if (!rules_.expiredNotice.empty()) {
                fprintf(stderr, "%s\n", rules_.expiredNotice.c_str());
            }
            cutOff(c);
        }
    }
}

// Sends what the peer takes now, without waiting.
void StreamServer::flush(const Ref& c)
{
    bool hadOutput = c->unsent_ > 0;
    while (c->unsent_ > 0 && (c->state_ == State::Open || c->state_ == State::Closing)) {
        StreamConnection::Output& first = c->output_.front();
        std::string_view piece = first.sending();
        long n = sendSome(c->socket_, piece.data() + c->sentOfFirst_, piece.size() - c->sentOfFirst_);
        if (n < 0) {
            if (!retryLater()) {
                drop(c);
            }
            return;
        }
        c->lastTaken_ = c->lastActive_ = Clock::now();
        c->sentOfFirst_ += static_cast<size_t>(n);
        c->unsent_ -= static_cast<size_t>(n);
        first.left -= static_cast<size_t>(n);
        if (c->sentOfFirst_ < piece.size()) {
            continue;
        }
        c->sentOfFirst_ = 0;
        if (first.left > 0) {
            ++first.piece;  // the next piece of a shared text
            continue;
        }
        if (!first.shared && c->output_.size() == 1 &&
            first.bytes.capacity() <= StreamConnection::kKeptBufferBytes) {
            c->spare_ = std::move(first.bytes);
            c->spare_.clear();
        }
        c->output_.pop_front();
    }
    if (!hadOutput || c->unsent_ > 0) {
        return;
    }
    if (c->state_ == State::Open) {
        c->outputSent();
    }
    if (c->state_ == State::Closing) {
        finish(c);
    }
}

// The last output is out: shut the sending side and wait for the peer to
// close, reading what it still sends.
void StreamServer::finish(const Ref& c)
{
    c->state_ = State::Draining;
    c->drainingSince_ = Clock::now();
    shutdownSending(c->socket_);
}

void StreamServer::drain(const Ref& c)
{
    char bytes[kDrainReadBytes];
    long count = receiveSome(c->socket_, bytes, sizeof bytes);
    if (count < 0 && retryLater()) {
        return;
    }
    if (count <= 0) {
        drop(c);
        return;
    }
    c->drained_ += static_cast<size_t>(count);
    if (c->drained_ > kMaxDrainBytes) {
        cutOff(c);
    }
}

// The watches follow from the connection's state: readable while the port
// reads (or it drains), writable while output waits or the port asked for
// a turn. A watch is replaced only when it changes.
void StreamServer::updateWatches(const Ref& c)
{
    State state = c->state_;
    if (state == State::Dropped) {
        return;
    }
    bool read = state == State::Draining || (state == State::Open && c->wantsRead());
    bool write = c->unsent_ > 0 || (state == State::Open && c->wantsTurn());
    write = write && state != State::Draining;
    if (read != c->readWatched_) {
        c->readWatched_ = read;
        if (read) {
            watchSocket(c->socket_, [this, c] { readTurn(c); });
        } else {
            watchSocket(c->socket_, nullptr);
        }
    }
    if (write != c->writeWatched_) {
        c->writeWatched_ = write;
        if (write) {
            watchSocketWritable(c->socket_, [this, c] { writeTurn(c); });
        } else {
            watchSocketWritable(c->socket_, nullptr);
        }
    }
}

// Dropped by the port, or because the peer is gone: output still waiting
// here is thrown away with a reset. What the system holds goes on as after
// any close: the peer may have ended only its sending side and still read.
void StreamServer::drop(const Ref& c)
{
    end(c, c->unsent_ > 0);
}

// Ended by the server for a limit while the peer is still there: reset when
// the system still holds output for it too, so that nothing is left sending
// to a peer that has stopped reading.
void StreamServer::cutOff(const Ref& c)
{
    end(c, c->unsent_ > 0 || unsentBytes(c->socket_) > 0);
}

void StreamServer::end(const Ref& c, bool reset)
{
    if (c->state_ == State::Dropped) {
        return;
    }
    // A reference of its own: c may be the list's, which the erase below removes.
    Ref keep = c;  // NOLINT(performance-unnecessary-copy-initialization)
    keep->state_ = State::Dropped;
    if (reset) {
        resetOnClose(keep->socket_);
    }
    closeSocket(keep->socket_);
    connections_.erase(std::remove(connections_.begin(), connections_.end(), keep), connections_.end());
    keep->dropped();
    connectionsChanged();
}

// The tick runs only while there are connections: an idle server costs
// nothing.
void StreamServer::connectionsChanged()
{
    if (rules_.tick.count() == 0) {
        return;
    }
    if (connections_.empty() && timer_ != 0) {
        stopTimer(timer_);
        timer_ = 0;
    } else if (!connections_.empty() && timer_ == 0 && !closed_) {
        timer_ = startTimer(rules_.tick, [this] { tick(); });
    }
}

}  // namespace simplatform
