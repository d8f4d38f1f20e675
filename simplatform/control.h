// The control port: a TCP listener on loopback through which a user (or a
// test) plays the map user: opens maps and submaps, raises map events and
// actions, ends the session, and reads the map's state and the counters.
//
// One command a line, one reply line each ("ok", "ok <data>" or
// "error <reason>"), written after the program has handled the event the
// command raised. Lines end in LF or CR LF. Commands from all clients are
// carried out one at a time, in the order the loop reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace simplatform {

enum class ControlVerb {
    OpenMap,         // open-map <path>
    OpenSubmap,      // open-submap <name>
    CreateSubmap,    // create-submap <symbol id>
    Event,           // event <code>
    Action,          // action <name>
    EndSession,      // end-session [flag]
    LoseConnection,  // lose-connection
    Quit,            // quit
    State,           // state
    Stats            // stats
};

struct ControlCommand {
    ControlVerb verb = ControlVerb::State;
    std::string text;     // the path, submap name or action name
    int64_t number = 0;   // the symbol id, event code or end flag
};

// Parses one line (its newline removed; a CR before it is ignored) into a
// command. False and the reason when the line is not a valid command.
// Touches nothing else.
bool parseControlCommand(std::string_view line, ControlCommand& command, std::string& error);

// Carries out a command and returns its reply line without the newline.
// Program handlers run inside; the program may end the process in them.
std::string runControlCommand(const ControlCommand& command);

class ControlPort {
public:
    // A line longer than this (before its newline) is answered with
    // "error line too long" and discarded up to its newline.
    static constexpr size_t kMaxLineBytes = 8192;
    // A client whose discarded line goes on past this is dropped.
    static constexpr size_t kMaxDiscardBytes = 1 << 20;
    // Replies the peer has not taken yet; beyond this the client is dropped.
    static constexpr size_t kMaxPendingReplyBytes = 1 << 20;
    static constexpr size_t kMaxClients = 64;

    // Listens on hostPort, which must name a loopback address. Null and the
    // reason when it cannot.
    static std::unique_ptr<ControlPort> open(const std::string& hostPort, std::string& error);
    ~ControlPort();
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    // Closes the listener and every client. Safe from inside a command's
    // handler (the program ending the session); the object must then live
    // until the handler has returned.
    void close();
    uint16_t port() const { return port_; }
    size_t clientCount() const { return clients_.size(); }

private:
    struct Client;
    ControlPort() = default;
    void acceptClients();
    void readClient(const std::shared_ptr<Client>& client);
    void takeBytes(const std::shared_ptr<Client>& client, const char* bytes, size_t count);
    void reply(const std::shared_ptr<Client>& client, std::string_view line);
    void flush(const std::shared_ptr<Client>& client);
    void drop(const std::shared_ptr<Client>& client);

    Socket listener_{};
    uint16_t port_ = 0;
    bool closed_ = false;
    std::vector<std::shared_ptr<Client>> clients_;
};

}  // namespace simplatform
