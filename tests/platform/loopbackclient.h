// A blocking TCP client to 127.0.0.1 with a receive timeout, for the port
// tests: used from a thread of its own while the test's thread runs the
// message loop. It may connect from another loopback address (from).
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

class LoopbackClient {
public:
    explicit LoopbackClient(uint16_t port, int receiveBuffer = 0, const char* from = nullptr)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        if (from != nullptr) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            inet_pton(AF_INET, from, &source.sin_addr);
            bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source);
        }
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;
    bool connected() const { return connected_; }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    bool send(const std::string& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // Appends what came to buffer(): true when something did; false at the
    // end of the stream (ended() is then true) or when nothing came in time.
    bool receive()
    {
        char bytes[65536];
        ssize_t n = recv(fd_, bytes, sizeof bytes, 0);
        if (n > 0) {
            buffer_.append(bytes, static_cast<size_t>(n));
            return true;
        }
        ended_ = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        reset_ = n < 0 && errno == ECONNRESET;
        return false;
    }
    bool ended() const { return ended_; }
    // The stream ended with a reset, not with its end.
    bool wasReset() const { return reset_; }
    std::string& buffer() { return buffer_; }
    // Receives until text is in buffer() (true) or the stream ends or times out.
    bool readUntil(const std::string& text)
    {
        while (buffer_.find(text) == std::string::npos) {
            if (!receive()) {
                return false;
            }
        }
        return true;
    }
    // True when the peer closed the connection after what is received now.
    bool closedByPeer()
    {
        while (receive()) { }
        return ended_;
    }
    // The next line; "<closed>" at the end of the stream, "<timeout>" when
    // none came in time.
    std::string line()
    {
        for (;;) {
            size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string text = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return text;
            }
            if (!receive()) {
                return ended_ ? "<closed>" : "<timeout>";
            }
        }
    }
    std::string ask(const std::string& command)
    {
        send(command + "\n");
        return line();
    }
    // The port's end of this connection (the same process), or -1.
    int serverSide() const
    {
        sockaddr_in mine{};
        socklen_t length = sizeof mine;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&mine), &length);
        for (int fd = 0; fd < 1024; ++fd) {
            sockaddr_in peer{};
            length = sizeof peer;
            if (fd != fd_ && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
                peer.sin_family == AF_INET && peer.sin_port == mine.sin_port &&
                peer.sin_addr.s_addr == mine.sin_addr.s_addr) {
                return fd;
            }
        }
        return -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
    bool reset_ = false;
    std::string buffer_;
};
