// Sockets: made non-blocking, listening, bound, accepted (with a spare
// descriptor for the moment none is left), sending and receiving.
#include "socket.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#ifdef _WIN32
#include <mswsock.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif
#endif

namespace simplatform {
namespace {

#ifdef _WIN32
constexpr int kSendFlags = 0;
constexpr int kShutSending = SD_SEND;
#else
// A peer that has gone must give an error, not SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kShutSending = SHUT_WR;
#endif

// One call moves at most this much, whatever the caller asks for.
constexpr size_t kMaxTransfer = 1 << 20;

// A descriptor kept in reserve for the moment the process has none left.
// accept() then fails while the connection stays queued, so the listener
// stays ready and the loop would call its handler again and again; instead
// the spare is given up for a moment, the connection taken and closed, and
// the spare made again. Said once on standard error until an accept
// succeeds again.
struct SpareDescriptor {
    Socket spare = kNoSocket;
    bool said = false;
};

SpareDescriptor& spareDescriptor()
{
    static auto* instance = new SpareDescriptor;
    return *instance;
}

void keepSpare()
{
    SpareDescriptor& d = spareDescriptor();
    if (d.spare == kNoSocket) {
        d.spare = ::socket(AF_INET, SOCK_DGRAM, 0);
    }
}

bool outOfDescriptors()
{
#ifdef _WIN32
    return WSAGetLastError() == WSAEMFILE || WSAGetLastError() == WSAENOBUFS;
#else
    return errno == EMFILE || errno == ENFILE;
#endif
}

void sayNothingWaits()
{
#ifdef _WIN32
    WSASetLastError(WSAEWOULDBLOCK);
#else
    errno = EAGAIN;
#endif
}

// With no descriptor left: the waiting connection is taken with the spare's
// descriptor and closed, so that the listener does not stay ready.
void shedConnection(Socket listener)
{
    SpareDescriptor& d = spareDescriptor();
    if (!d.said) {
        fprintf(stderr,
                "simplatform: out of file descriptors (%s): new connections are closed until some are free\n",
                lastSocketError().c_str());
        d.said = true;
    }
    if (d.spare != kNoSocket) {
        closeUnwatched(d.spare);
        d.spare = kNoSocket;
        Socket shed = ::accept(listener, nullptr, nullptr);
        if (shed != kNoSocket) {
            closeUnwatched(shed);
        }
        keepSpare();
    }
    sayNothingWaits();
}

// The reason of the last failure, read before closing s, which may change it.
Socket failAndClose(Socket s, std::string& error)
{
    error = lastSocketError();
    closeUnwatched(s);
    return kNoSocket;
}

}  // namespace

#ifdef _WIN32
// Windows sockets are started the first time the platform makes a socket or
// looks up a name, never while the platform's DLL is being loaded: what runs
// under the loader lock must not load or start other libraries. They are
// never cleaned up: the program may exit from inside a handler while other
// objects still close sockets; the end of the process releases them.
bool startSockets()
{
    static const bool started = [] {
        WSADATA data;
        int result = WSAStartup(MAKEWORD(2, 2), &data);
        if (result != 0) {
            fprintf(stderr, "simplatform: cannot start Windows sockets: %s\n",
                    windowsErrorText(static_cast<DWORD>(result)).c_str());
        }
        return result == 0;
    }();
    return started;
}
#endif

Socket listenStream(const sockaddr* address, SockLen length, int backlog, std::string& error)
{
    startSockets();
    Socket s = ::socket(address->sa_family, SOCK_STREAM, 0);
    if (s == kNoSocket) {
        error = lastSocketError();
        return kNoSocket;
    }
    if (address->sa_family != AF_UNIX) {
        int one = 1;
#ifdef _WIN32
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
#else
        // A restarted program can listen again while old connections linger.
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
#endif
    }
    if (::bind(s, address, length) != 0 || ::listen(s, backlog) != 0 || !setNonBlocking(s)) {
        return failAndClose(s, error);
    }
    keepSpare();
    return s;
}

Socket bindDatagram(const sockaddr* address, SockLen length, std::string& error)
{
    startSockets();
    Socket s = ::socket(address->sa_family, SOCK_DGRAM, 0);
    if (s == kNoSocket) {
        error = lastSocketError();
        return kNoSocket;
    }
    if (address->sa_family == AF_INET6) {
        // [::] takes IPv4 senders too (as IPv4-mapped addresses); any other
        // IPv6 address only IPv6 ones, whatever the system's default.
        // A zero address, not in6addr_any: MinGW links that from ws2_32 only
        // in some setups.
        static const uint8_t kAny[16] = {};
        const in6_addr& host = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        int v6only = memcmp(&host, kAny, sizeof kAny) != 0 ? 1 : 0;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only), sizeof v6only);
    }
    if (::bind(s, address, length) != 0 || !setNonBlocking(s)) {
        return failAndClose(s, error);
    }
#ifdef _WIN32
    // Otherwise an answer to a sender that has gone makes the next receive
    // fail with WSAECONNRESET.
    BOOL reportReset = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset, nullptr, 0, &returned, nullptr, nullptr);
#endif
    return s;
}

long setReceiveBuffer(Socket s, int bytes)
{
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    int granted = 0;
    SockLen length = static_cast<SockLen>(sizeof granted);
    if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) != 0 || granted <= 0) {
        return -1;
    }
#ifdef __linux__
    return granted / 2;
#else
    return granted;
#endif
}

Socket acceptClient(Socket listener, sockaddr_storage* peer)
{
    sockaddr_storage ignored{};
    sockaddr_storage* address = peer != nullptr ? peer : &ignored;
    *address = sockaddr_storage{};
    SockLen length = static_cast<SockLen>(sizeof *address);
    Socket s = ::accept(listener, reinterpret_cast<sockaddr*>(address), &length);
    if (s == kNoSocket && outOfDescriptors()) {
        shedConnection(listener);
        return kNoSocket;
    }
    if (s != kNoSocket) {
        spareDescriptor().said = false;
    }
    if (s != kNoSocket && !setNonBlocking(s)) {
        closeUnwatched(s);
        return kNoSocket;
    }
    return s;
}

uint16_t boundPort(Socket s)
{
    sockaddr_storage address{};
    SockLen length = static_cast<SockLen>(sizeof address);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return 0;
}

long sendSome(Socket s, const char* bytes, size_t count)
{
    return static_cast<long>(
        ::send(s, bytes, static_cast<TransferLength>(std::min(count, kMaxTransfer)), kSendFlags));
}

long receiveSome(Socket s, char* bytes, size_t count)
{
    return static_cast<long>(::recv(s, bytes, static_cast<TransferLength>(std::min(count, kMaxTransfer)), 0));
}

long receiveLine(Socket s, char* bytes, size_t count)
{
    auto most = static_cast<TransferLength>(std::min(count, kMaxTransfer));
    auto seen = ::recv(s, bytes, most, MSG_PEEK);
    if (seen <= 0) {
        return static_cast<long>(seen);
    }
    const char* newline = static_cast<const char*>(memchr(bytes, '\n', static_cast<size_t>(seen)));
    auto wanted = static_cast<TransferLength>(newline != nullptr ? newline - bytes + 1 : seen);
    return static_cast<long>(::recv(s, bytes, wanted, 0));
}

void shutdownSending(Socket s)
{
    ::shutdown(s, kShutSending);
}

bool setSendBuffer(Socket s, int bytes)
{
    return setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

size_t unsentBytes(Socket s)
{
#ifdef __linux__
    int count = 0;
    if (ioctl(s, SIOCOUTQ, &count) == 0 && count > 0) {
        return static_cast<size_t>(count);
    }
#else
    (void)s;
#endif
    return 0;
}

void resetOnClose(Socket s)
{
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

#ifdef _WIN32

bool setNonBlocking(Socket s)
{
    u_long on = 1;
    // FIONBIO is an unsigned constant that ioctlsocket takes as a long.
    return ioctlsocket(s, static_cast<long>(FIONBIO), &on) == 0;
}

void closeUnwatched(Socket s)
{
    ::closesocket(s);
}

#else

bool setNonBlocking(Socket s)
{
    int flags = fcntl(s, F_GETFL, 0);
    return flags != -1 && fcntl(s, F_SETFL, flags | O_NONBLOCK) != -1;
}

void closeUnwatched(Socket s)
{
    ::close(s);
}

#endif

}  // namespace simplatform
