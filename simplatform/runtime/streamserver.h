// Serving stream connections on the message loop: the part that the control
// port and the HTTP port share, whatever their bytes mean.
//
// The server takes a listening socket and
// - accepts at most kMaxAcceptsPerTurn connections a turn, so that a
//   connection storm cannot hold the loop (the rest wait in the listen
//   queue); with no descriptor left the socket layer's spare descriptor
//   sheds the waiting connection (acceptClient);
// - at the cap, or at the cap of connections from one remote address,
//   makes room by closing the least recently active connection that has no
//   answer in flight (when the port asks for that), and otherwise refuses
//   the newcomer: sends it the refusal without waiting and closes it;
// - keeps each connection's output queue and sends what the socket takes
//   without waiting; the write watch is on exactly while output waits (or
//   the port asks for a turn), the read watch while the port wants to read;
// - drops the connections the port calls expired, when the listener is
//   ready or on a tick that runs only while connections are open;
// - closes a connection at once (drop), or after its last output: then the
//   sending side is shut and what the peer still sends is read and thrown
//   away, at most kMaxDrainBytes or kDrainTimeout, so that the output is
//   not lost to a reset;
// - closes abortively (a reset) a connection dropped with output unsent:
//   waiting here, or, when the server ends it for a limit (expired, drained
//   too long), still held by the system. An ordinary close would leave the
//   system holding that output for a peer that does not read, after the
//   connection is gone, and a client that reconnects could pile such
//   sockets up until the host's TCP memory runs out.
// Everything that decides who gets in, what waits and how a connection
// ends is here, so that such a rule is changed in one place. What the
// bytes mean is the port's: it derives its connection from StreamConnection
// and fills in the hooks.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../os/net.h"

namespace simplatform {

class StreamServer;

// Text made once and then only read: a document that many connections are
// sent at once, each queue holding a reference, none a copy. Kept in pieces
// (none empty), so that it is never one block that must grow, not even
// while it is made.
struct SharedText {
    std::vector<std::string> pieces;
    std::size_t size = 0;  // of all pieces together
};
using SharedTextRef = std::shared_ptr<const SharedText>;

// One connection of a stream server. Its hooks run inside the loop's
// handlers; any of them may drop the connection or close the server.
class StreamConnection : public std::enable_shared_from_this<StreamConnection> {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~StreamConnection() = default;
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;

    Socket socket() const { return socket_; }
    // Neither dropped nor closing: it may still read and answer.
    bool isOpen() const { return state_ == State::Open; }
    bool isDropped() const { return state_ == State::Dropped; }

    // Queues bytes as one message and sends what the socket takes now; the
    // rest goes out as the peer makes room. Ignored once it is draining or
    // dropped.
    void send(std::string bytes);
    // The same, then the connection ends once the output is out (the
    // sending side shut, then drained as above).
    void sendAndClose(std::string bytes);
    // Ends the connection once its output is out.
    void closeWhenSent();
    // Adds bytes to the last message queued (or starts one), without
    // sending: for a stream whose messages need not be told apart. A
    // sent message's buffer is kept for the next (up to kKeptBufferBytes),
    // so a steady stream of small output allocates nothing.
    static constexpr size_t kKeptBufferBytes = size_t{64} * 1024;
    void append(std::string_view bytes);
    // Queues a shared text behind what is queued, without sending: the queue
    // holds the reference until the socket has taken its last byte.
    void appendShared(SharedTextRef text);
    // Sends what the socket takes now.
    void flush();
    // Closes it now. Output still waiting is thrown away and the peer
    // reset; what the socket has taken goes on as after any close.
    void drop();

    // Output not yet taken by the socket.
    size_t unsent() const { return unsent_; }
    // Output queued behind the message being sent.
    size_t waitingBehindFirst() const;

    // When it was accepted, last took output, or last did what the port
    // counts as activity (markActive).
    Clock::time_point lastActive() const { return lastActive_; }
    // When it was accepted or last took output.
    Clock::time_point lastTaken() const { return lastTaken_; }
    void markActive() { lastActive_ = Clock::now(); }

protected:
    StreamConnection() = default;

    // The socket is readable (data, the end of the stream or an error);
    // called only while wantsRead().
    virtual void readable() = 0;
    virtual bool wantsRead() const { return true; }
    // A writable turn even with no output waiting: for work the port put
    // off to its next turn.
    virtual bool wantsTurn() const { return false; }
    // A writable turn, after what waited was sent.
    virtual void writable() { }
    // The last queued byte was taken.
    virtual void outputSent() { }
    // Whether to drop it now for having gone quiet (see StreamServer::Rules).
    virtual bool expired(Clock::time_point) const { return false; }
    // An answer the port has begun and not yet queued, or one that does not
    // end (a stream of events): the connection is then never closed to make
    // room, as it is not while output waits.
    virtual bool answering() const { return false; }
    // It was dropped, or the server closed.
    virtual void dropped() { }

private:
    friend class StreamServer;
    enum class State {
        Open,      // reading and answering, as the port decides
        Closing,   // its last output is going out; nothing is read
        Draining,  // the sending side is shut; what comes is thrown away
        Dropped
    };

    StreamServer* server_ = nullptr;
    Socket socket_ = kNoSocket;
    HostAddress remote_;
    // A message of its own bytes, or a shared text sent a piece at a time.
    struct Output {
        std::string bytes;
        SharedTextRef shared;
        size_t piece = 0;  // of shared: the one being sent
        size_t left = 0;   // bytes not yet taken
        std::string_view sending() const
        {
            return shared ? std::string_view(shared->pieces[piece]) : std::string_view(bytes);
        }
    };

    State state_ = State::Open;
    std::deque<Output> output_;  // messages not yet taken, oldest first
    std::string spare_;          // the buffer of the last message sent, empty
    size_t sentOfFirst_ = 0;     // bytes of the first message's piece already sent
    size_t unsent_ = 0;
    size_t drained_ = 0;
    bool readWatched_ = false;
    bool writeWatched_ = false;
    Clock::time_point lastActive_{};
    Clock::time_point lastTaken_{};
    Clock::time_point drainingSince_{};
};

class StreamServer {
public:
    using Clock = StreamConnection::Clock;
    using Ref = std::shared_ptr<StreamConnection>;

    // Connections accepted in one turn; the rest wait for the next.
    static constexpr int kMaxAcceptsPerTurn = 16;
    // A closing connection is dropped when the peer sends more than this
    // after the sending side was shut, or goes on for longer than this.
    static constexpr size_t kMaxDrainBytes = size_t{64} * 1024;
    static constexpr std::chrono::seconds kDrainTimeout{5};
    // Bytes read from a draining connection in one turn.
    static constexpr size_t kDrainReadBytes = 4096;

    struct Rules {
        size_t maxConnections = 0;
        // Connections from one remote host; 0: no such cap. Loopback hosts
        // (and local sockets) are not capped unless capLoopback.
        size_t maxPerAddress = 0;
        bool capLoopback = false;
        // At either cap the newcomer gets in by closing the least recently
        // active connection (of all, or of its host) that has no answer in
        // flight: no output waits here or in the system, the port is not
        // answering(). Without one, or without this, it is refused.
        bool evictAtCap = false;
        // Sent, without waiting, to a connection over the cap before it is
        // closed.
        std::string refusal;
        // Each connection's send buffer (setSendBuffer); 0: the system's,
        // which grows by itself up to megabytes per connection.
        int sendBufferBytes = 0;
        // Standard error's text before the reason when accepting fails.
        std::string acceptFailure;
        // Standard error's line when an expired connection is dropped;
        // empty: nothing is said.
        std::string expiredNotice;
        // Expired connections are dropped whenever the listener is ready
        // (before the newcomers are accepted, so that they make room) ...
        bool expireOnAccept = false;
        // ... and every tick, while connections are open (zero: no tick;
        // then a draining connection ends only with the peer or its bytes).
        std::chrono::milliseconds tick{0};
        // Runs on each tick after the expired connections were dropped.
        std::function<void(Clock::time_point now)> onTick;
    };
    // Makes the port's record of a connection just accepted.
    using Maker = std::function<Ref()>;

    StreamServer() = default;
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Serves the connections of listener (a listening stream socket, now
    // the server's) until close.
    void start(Socket listener, Rules rules, Maker make);
    // Closes the listener and every connection (each one's dropped hook
    // runs). Safe from inside a hook; the server must then live until the
    // hook has returned.
    void close();
    bool closed() const { return closed_; }
    size_t connectionCount() const { return connections_.size(); }

private:
    friend class StreamConnection;
    using State = StreamConnection::State;
    void acceptTurn();
    void admit(Socket s, const HostAddress& remote, Clock::time_point now);
    bool makeRoom(const HostAddress& remote);
    bool evictIdlest(const HostAddress* remote);
    bool inFlight(const StreamConnection& c) const;
    void readTurn(const Ref& c);
    void writeTurn(const Ref& c);
    void tick();
    void dropExpired(Clock::time_point now);
    void flush(const Ref& c);
    void finish(const Ref& c);
    void drain(const Ref& c);
    void updateWatches(const Ref& c);
    void drop(const Ref& c);
    void cutOff(const Ref& c);
    void end(const Ref& c, bool reset);
    void connectionsChanged();

    Rules rules_;
    Maker make_;
    Socket listener_ = kNoSocket;
    bool closed_ = false;
    int timer_ = 0;
    std::vector<Ref> connections_;
    std::vector<Ref> candidates_;  // evictIdlest's, kept for its capacity
};

}  // namespace simplatform
