// The control port's line server: each client's line, its commands one a
// turn, and its replies, over the stream server.
#include "control.h"

#include <stdio.h>
#include <string.h>

#include <string_view>
#include <utility>

namespace simplatform {

class ControlPort::Client : public StreamConnection {
public:
    explicit Client(ControlPort& port)
        : port_(port)
    {
    }

protected:
    void readable() override;
    // Once the peer has sent its last byte only the replies due go out.
    bool wantsRead() const override { return !finishing_; }
    void outputSent() override
    {
        if (finishing_) {
            drop();
        }
    }
    bool expired(Clock::time_point now) const override { return now - lastActive() >= port_.idleLimit_; }

private:
    void takeBytes(const char* bytes, size_t count);
    void reply(std::string_view line);

    ControlPort& port_;
    std::string line_;      // the line read so far, without its newline
    size_t discarded_ = 0;  // bytes of an overlong line thrown away so far
    bool discarding_ = false;
    bool finishing_ = false;  // the peer sent its last byte: close once replies are out
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
        s = listenLocal(hostPort.substr(5), kListenBacklog, port->localName_, reason);
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
        s = listenStream(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, kListenBacklog, reason);
    }
    if (s == kNoSocket) {
        error = "cannot listen on " + hostPort + ": " + reason;
        return nullptr;
    }
    port->verbs_ = std::move(verbs);
    port->port_ = boundPort(s);
    StreamServer::Rules rules;
    rules.maxConnections = kMaxClients;
    rules.refusal = "error too many clients\n";
    rules.acceptFailure = "simplatform: control port: cannot accept a client";
    rules.expiredNotice = "simplatform: control port: client dropped: idle too long";
    rules.expireOnAccept = true;
    ControlPort* self = port.get();
    port->server_.start(s, std::move(rules), [self] { return std::make_shared<Client>(*self); });
    return port;
}

ControlPort::~ControlPort()
{
    close();
}

void ControlPort::close()
{
    if (server_.closed()) {
        return;
    }
    server_.close();
#ifndef _WIN32
    if (!localName_.path.empty()) {
        removeLocal(localName_);
    }
#endif
}

void ControlPort::Client::readable()
{
    // One command a turn: the bytes up to the first line end are taken, the
    // rest stay in the socket, which stays ready. A client that pipelines
    // many commands gets through them one a turn, between other sockets'
    // turns, and what it sends ahead waits in the kernel, not here.
    char bytes[4096];
    long count = receiveLine(socket(), bytes, sizeof bytes);
    if (count > 0) {
        markActive();
        takeBytes(bytes, static_cast<size_t>(count));
        return;
    }
    if (count < 0 && retryLater()) {
        return;
    }
    // End of stream (or a broken connection): a partial line is lost, the
    // replies already due still go out.
    line_.clear();
    if (count < 0 || unsent() == 0) {
        drop();
        return;
    }
    finishing_ = true;
}

void ControlPort::Client::takeBytes(const char* bytes, size_t count)
{
    size_t at = 0;
    while (at < count) {
        const char* newline = static_cast<const char*>(memchr(bytes + at, '\n', count - at));
        size_t length = newline != nullptr ? static_cast<size_t>(newline - (bytes + at)) : count - at;
        if (discarding_) {
            discarded_ += length;
            if (newline != nullptr) {
                discarding_ = false;
                discarded_ = 0;
            } else if (discarded_ > kMaxDiscardBytes) {
                fprintf(stderr, "simplatform: control port: client dropped: line without end\n");
                drop();
                return;
            }
        } else if (line_.size() + length > kMaxLineBytes) {
            discarding_ = newline == nullptr;
            discarded_ = line_.size() + length;
            line_.clear();
            reply("error line too long");
        } else {
            line_.append(bytes + at, length);
            if (newline != nullptr) {
                std::string line;
                line.swap(line_);
                std::string answer = answerControlLine(port_.verbs_, line);
                // The program may have ended the session in the meantime.
                if (port_.server_.closed()) {
                    return;
                }
                reply(answer);
            }
        }
        if (isDropped()) {
            return;
        }
        at += length + (newline != nullptr ? 1 : 0);
    }
}

void ControlPort::Client::reply(std::string_view line)
{
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
    send(std::move(text));
    // The reply being sent may be as large as the map's state; only those
    // behind it count against the limit, so a client that reads promptly
    // gets a large reply whole.
    if (!isDropped() && waitingBehindFirst() > kMaxPendingReplyBytes) {
        fprintf(stderr, "simplatform: control port: client dropped: it does not read its replies\n");
        drop();
    }
}

}  // namespace simplatform
