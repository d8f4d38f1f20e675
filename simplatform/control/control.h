// The control port: a TCP listener on loopback that reads command lines and
// answers each with the reply of the verb it names. The verbs (what a user or
// a test can do through the port) are given by whoever opens it.
//
// One command a line, one reply line each ("ok", "ok <data>" or
// "error <reason>"), written after the program has handled the event the
// command raised. Lines end in LF or CR LF. Commands from all clients are
// carried out one at a time, in the order the loop reads them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../os/net.h"

namespace simplatform {

// How a verb's argument is read from the rest of the line.
enum class Argument {
    None,         // nothing may follow
    Text,         // the rest of the line, blanks around it removed, no control bytes
    SymbolId,     // 0 to 4294967295
    EventCode,    // 0 to 2147483647
    OptionalFlag  // -2147483648 to 2147483647, 1 when left out
};

struct ControlVerb;

struct ControlCommand {
    const ControlVerb* verb = nullptr;
    std::string text;    // a Text argument
    int64_t number = 0;  // a number argument
};

// One command of the control port: its name, its argument and what it does.
struct ControlVerb {
    const char* name;
    Argument argument;
    const char* what;  // the argument's name in error texts
    // Carries out the command and returns its reply line without the
    // newline. Program handlers run inside; the program may end the process.
    std::string (*run)(const ControlCommand& command);
};

using ControlVerbs = std::vector<ControlVerb>;

// Parses one line (its newline removed; a CR before it is ignored) into a
// command of one of verbs. False and the reason when the line is not a valid
// command. Touches nothing else.
bool parseControlCommand(const ControlVerbs& verbs, std::string_view line, ControlCommand& command,
                         std::string& error);

// Parses and carries out one line; the reply line without its newline.
std::string answerControlLine(const ControlVerbs& verbs, std::string_view line);

// Text from the wire, safe to quote in a reply: at most 40 bytes, anything
// but printable ASCII shown as '?', in double quotes.
std::string quotedText(std::string_view text);

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

    using Clock = std::chrono::steady_clock;

    ControlVerbs verbs_;
    Socket listener_{};
#ifndef _WIN32
    LocalName localName_;
#endif
    Clock::duration idleLimit_ = kIdleLimit;
    uint16_t port_ = 0;
    bool closed_ = false;
    std::vector<std::shared_ptr<Client>> clients_;
};

}  // namespace simplatform
