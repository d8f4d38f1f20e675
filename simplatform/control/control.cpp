// The control port: command parsing and the line protocol over
// non-blocking TCP sockets watched through the message loop.
#include "control.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#ifndef _WIN32
#include <sys/socket.h>
#endif

#include "../runtime/loop.h"

namespace simplatform {
namespace {

// ---- parsing ----

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A decimal number within [low, high]; a minus sign only where low < 0.
bool parseNumber(std::string_view word, int64_t low, int64_t high, int64_t& value)
{
    bool negative = !word.empty() && word.front() == '-' && low < 0;
    if (negative) {
        word.remove_prefix(1);
    }
    if (word.empty()) {
        return false;
    }
    int64_t n = 0;
    for (char c : word) {
        if (c < '0' || c > '9' || n > (INT64_MAX - 9) / 10) {
            return false;
        }
        n = n * 10 + (c - '0');
    }
    n = negative ? -n : n;
    if (n < low || n > high) {
        return false;
    }
    value = n;
    return true;
}

bool hasControlBytes(std::string_view text)
{
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string quotedText(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < 40; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    }
    if (text.size() > 40) {
        out += "...";
    }
    return out + "\"";
}

bool parseControlCommand(const ControlVerbs& verbs, std::string_view line, ControlCommand& command,
                         std::string& error)
{
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    line = trimmed(line);
    if (line.empty()) {
        error = "empty line";
        return false;
    }
    size_t blank = 0;
    while (blank < line.size() && !isBlank(line[blank])) {
        ++blank;
    }
    std::string_view word = line.substr(0, blank);
    std::string_view rest = trimmed(line.substr(blank));

    const ControlVerb* row = nullptr;
    for (const ControlVerb& candidate : verbs) {
        if (word == candidate.name) {
            row = &candidate;
            break;
        }
    }
    if (row == nullptr) {
        error = "unknown command " + quotedText(word);
        return false;
    }

    ControlCommand parsed;
    parsed.verb = row;
    if (row->argument == Argument::None) {
        if (!rest.empty()) {
            error = std::string(row->name) + " takes no argument";
            return false;
        }
        command = parsed;
        return true;
    }
    if (rest.empty()) {
        if (row->argument == Argument::OptionalFlag) {
            parsed.number = 1;
            command = parsed;
            return true;
        }
        error = std::string(row->name) + " needs " + row->what;
        return false;
    }
    if (row->argument == Argument::Text) {
        if (hasControlBytes(rest)) {
            error = std::string(row->name) + ": control characters in " + row->what;
            return false;
        }
        parsed.text = std::string(rest);
        command = parsed;
        return true;
    }
    for (char c : rest) {
        if (isBlank(c)) {
            error = std::string(row->name) + " takes one argument, " + row->what;
            return false;
        }
    }
    int64_t low = 0;
    int64_t high = INT32_MAX;
    if (row->argument == Argument::SymbolId) {
        high = UINT32_MAX;
    } else if (row->argument == Argument::OptionalFlag) {
        low = INT32_MIN;
    }
    if (!parseNumber(rest, low, high, parsed.number)) {
        error = std::string(row->name) + ": " + quotedText(rest) + " is not " + row->what + " (" +
                std::to_string(low) + " to " + std::to_string(high) + ")";
        return false;
    }
    command = parsed;
    return true;
}

std::string answerControlLine(const ControlVerbs& verbs, std::string_view line)
{
    ControlCommand command;
    std::string error;
    return parseControlCommand(verbs, line, command, error) ? command.verb->run(command) : "error " + error;
}

// ---- the port ----

struct ControlPort::Client {
    Socket socket{};
    std::string line;                 // the line read so far, without its newline
    std::deque<std::string> replies;  // replies the peer has not taken yet, oldest first
    size_t sentOfFirst = 0;           // bytes of the first reply already sent
    size_t waitingBehind = 0;         // bytes of the replies behind the first
    size_t discarded = 0;             // bytes of an overlong line thrown away so far
    bool discarding = false;
    bool writeWatched = false;
    bool finishing = false;  // the peer sent its last byte: close once replies are out
    bool dead = false;
    Clock::time_point lastActive{};  // bytes last came from it or went to it
};

std::unique_ptr<ControlPort> ControlPort::open(const std::string& hostPort, ControlVerbs verbs, std::string& error)
{
    std::string reason;
    Socket s = kNoSocket;
    std::unique_ptr<ControlPort> port(new ControlPort);
    if (hostPort.rfind("unix:", 0) == 0) {
#ifdef _WIN32
        error = hostPort + ": local sockets are not offered on Windows";
        return nullptr;
#else
        s = listenLocal(hostPort.substr(5), 16, port->localName_, reason);
#endif
    } else {
        sockaddr_in addr{};
        if (!parseHostPort(hostPort, addr, error)) {
            return nullptr;
        }
        if ((ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
            error = hostPort + " is not a loopback address (127.x.x.x)";
            return nullptr;
        }
        s = listenStream(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, 16, reason);
    }
    if (s == kNoSocket) {
        error = "cannot listen on " + hostPort + ": " + reason;
        return nullptr;
    }
    port->verbs_ = std::move(verbs);
    port->listener_ = s;
    port->port_ = boundPort(s);
    ControlPort* self = port.get();
    watchSocket(s, [self] { self->acceptClients(); });
    return port;
}

ControlPort::~ControlPort()
{
    close();
}

void ControlPort::close()
{
    if (closed_) {
        return;
    }
    closed_ = true;
    closeSocket(listener_);
#ifndef _WIN32
    if (!localName_.path.empty()) {
        removeLocal(localName_);
    }
#endif
    for (const auto& client : clients_) {
        client->dead = true;
        closeSocket(client->socket);
    }
    clients_.clear();
}

void ControlPort::acceptClients()
{
    // Clients that have gone quiet make room; looked at whenever somebody
    // connects, which is when room is wanted.
    Clock::time_point now = Clock::now();
    for (size_t i = 0; i < clients_.size();) {
        if (now - clients_[i]->lastActive >= idleLimit_) {
            fprintf(stderr, "simplatform: control port: client dropped: idle too long\n");
            drop(clients_[i]);
        } else {
            ++i;
        }
    }
    // A bounded number per turn, so that a connection storm cannot hold the
    // loop; the rest wait in the listen queue for the next turn.
    for (int i = 0; i < 16 && !closed_; ++i) {
        Socket s = acceptClient(listener_);
        if (s == kNoSocket) {
            if (!retryLater()) {
                fprintf(stderr, "simplatform: control port: cannot accept a client: %s\n",
                        lastSocketError().c_str());
            }
            return;
        }
        if (clients_.size() >= kMaxClients) {
            static const char full[] = "error too many clients\n";
            sendSome(s, full, sizeof full - 1);
            closeSocket(s);
            continue;
        }
        auto client = std::make_shared<Client>();
        client->socket = s;
        client->lastActive = now;
        clients_.push_back(client);
        watchSocket(s, [this, client] { readClient(client); });
    }
}

void ControlPort::readClient(const std::shared_ptr<Client>& client)
{
    if (closed_ || client->dead) {
        return;
    }
    // One command a turn: the bytes up to the first line end are taken, the
    // rest stay in the socket, which stays ready. A client that pipelines
    // many commands gets through them one a turn, between other sockets'
    // turns, and what it sends ahead waits in the kernel, not here.
    char bytes[4096];
    long count = receiveLine(client->socket, bytes, sizeof bytes);
    if (count > 0) {
        client->lastActive = Clock::now();
        takeBytes(client, bytes, static_cast<size_t>(count));
        return;
    }
    if (count < 0 && retryLater()) {
        return;
    }
    // End of stream (or a broken connection): a partial line is lost, the
    // replies already due still go out.
    client->line.clear();
    if (count < 0 || client->replies.empty()) {
        drop(client);
        return;
    }
    client->finishing = true;
    watchSocket(client->socket, nullptr);
}

void ControlPort::takeBytes(const std::shared_ptr<Client>& client, const char* bytes, size_t count)
{
    size_t at = 0;
    while (at < count) {
        const char* newline = static_cast<const char*>(memchr(bytes + at, '\n', count - at));
        size_t length = newline != nullptr ? static_cast<size_t>(newline - (bytes + at)) : count - at;
        if (client->discarding) {
            client->discarded += length;
            if (newline != nullptr) {
                client->discarding = false;
                client->discarded = 0;
            } else if (client->discarded > kMaxDiscardBytes) {
                fprintf(stderr, "simplatform: control port: client dropped: line without end\n");
                drop(client);
                return;
            }
        } else if (client->line.size() + length > kMaxLineBytes) {
            client->discarding = newline == nullptr;
            client->discarded = client->line.size() + length;
            client->line.clear();
            reply(client, "error line too long");
        } else {
            client->line.append(bytes + at, length);
            if (newline != nullptr) {
                std::string line;
                line.swap(client->line);
                std::string answer = answerControlLine(verbs_, line);
                // The program may have ended the session in the meantime.
                if (closed_) {
                    return;
                }
                reply(client, answer);
            }
        }
        if (client->dead) {
            return;
        }
        at += length + (newline != nullptr ? 1 : 0);
    }
}

void ControlPort::reply(const std::shared_ptr<Client>& client, std::string_view line)
{
    if (client->dead) {
        return;
    }
    // One reply, one line, whatever texts the reasons carry.
    std::string text(line);
    for (char& c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u == '\r' || u == '\n') {
            c = ' ';
        } else if (u < 32 || u == 127) {
            c = '?';
        }
    }
    text += '\n';
    if (!client->replies.empty()) {
        client->waitingBehind += text.size();
    }
    client->replies.push_back(std::move(text));
    flush(client);
}

void ControlPort::flush(const std::shared_ptr<Client>& client)
{
    if (client->dead) {
        return;
    }
    while (!client->replies.empty()) {
        const std::string& first = client->replies.front();
        long n = sendSome(client->socket, first.data() + client->sentOfFirst, first.size() - client->sentOfFirst);
        if (n < 0) {
            if (retryLater()) {
                break;
            }
            drop(client);
            return;
        }
        client->lastActive = Clock::now();
        client->sentOfFirst += static_cast<size_t>(n);
        if (client->sentOfFirst < first.size()) {
            continue;
        }
        client->replies.pop_front();
        client->sentOfFirst = 0;
        if (!client->replies.empty()) {
            client->waitingBehind -= client->replies.front().size();
        }
    }
    // The reply being sent may be as large as the map's state; only those
    // behind it count against the limit, so a client that reads promptly
    // gets a large reply whole.
    if (client->waitingBehind > kMaxPendingReplyBytes) {
        fprintf(stderr, "simplatform: control port: client dropped: it does not read its replies\n");
        drop(client);
        return;
    }
    bool waiting = !client->replies.empty();
    if (waiting != client->writeWatched) {
        client->writeWatched = waiting;
        if (waiting) {
            watchSocketWritable(client->socket, [this, client] { flush(client); });
        } else {
            watchSocketWritable(client->socket, nullptr);
        }
    }
    if (!waiting && client->finishing) {
        drop(client);
    }
}

void ControlPort::drop(const std::shared_ptr<Client>& client)
{
    if (client->dead) {
        return;
    }
    std::shared_ptr<Client> keep = client;
    keep->dead = true;
    closeSocket(keep->socket);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), keep), clients_.end());
}

}  // namespace simplatform
