// The control port: a stream listener, on loopback TCP or a local
// (Unix-domain) socket, that reads command lines and answers each with the
// reply of the verb it names. The verbs (what a user or a test can do
// through the port) are given by whoever opens it (controlcommand.h).
//
// One command a line, one reply line each ("ok", "ok <data>" or
// "error <reason>"), written after the program has handled the event the
// command raised. Lines end in LF or CR LF. Commands from all clients are
// carried out one at a time, in the order the loop reads them, one per
// client per turn. Accepting, the cap, the reply queue and closing are the
// stream server's (runtime/streamserver.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "../os/net.h"
#include "../runtime/streamserver.h"
#include "controlcommand.h"

namespace simplatform {

class ControlPort {
public:
    // A line longer than this (before its newline) is answered with
    // "error line too long" and discarded up to its newline.
    static constexpr size_t kMaxLineBytes = 8192;
    // A client whose discarded line goes on past this is dropped.
    static constexpr size_t kMaxDiscardBytes = 1 << 20;
    // Replies waiting behind the one being sent; beyond this the client is
    // dropped. The one being sent may be larger (the state of a large map).
    static constexpr size_t kMaxPendingReplyBytes = 1 << 20;
    static constexpr size_t kMaxClients = 64;
    static constexpr int kListenBacklog = 16;
    // A client that has sent and taken nothing for this long is dropped
    // when a client connects, so idle clients cannot keep others out.
    static constexpr std::chrono::seconds kIdleLimit{300};

    // Listens on hostPort, which names a loopback address ("127.0.0.1:1620")
    // or, as "unix:/path", a local socket (see listenLocal), and answers the
    // commands of verbs. Null and the reason when it cannot.
    static std::unique_ptr<ControlPort> open(const std::string& hostPort, ControlVerbs verbs, std::string& error);
    ~ControlPort();
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    // Closes the listener and every client. Safe from inside a command's
    // handler (the program ending the session); the object must then live
    // until the handler has returned.
    void close();
    // The TCP port; 0 for a local socket.
    uint16_t port() const { return port_; }
    // For tests, which cannot wait five minutes.
    void setIdleLimit(std::chrono::milliseconds limit) { idleLimit_ = limit; }
    size_t clientCount() const { return server_.connectionCount(); }

private:
    class Client;
    ControlPort() = default;

    ControlVerbs verbs_;
#ifndef _WIN32
    LocalName localName_;
#endif
    std::chrono::steady_clock::duration idleLimit_ = kIdleLimit;
    uint16_t port_ = 0;
    // Last: closed and destroyed first, while what its hooks use is alive.
    StreamServer server_;
};

}  // namespace simplatform
