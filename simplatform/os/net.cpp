// The socket layer: one place for what POSIX and Windows sockets do
// differently.
#include "net.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#ifdef _WIN32
#include <mswsock.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
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

#ifdef _WIN32
// Texts of the socket errors the platform can meet, for systems whose
// message tables have none for them (Wine's, for one).
struct SocketErrorText {
    DWORD code;
    const char* text;
};
const SocketErrorText kSocketErrorTexts[] = {
    {WSAEINTR, "Interrupted function call"},
    {WSAEACCES, "Permission denied"},
    {WSAEINVAL, "Invalid argument"},
    {WSAEMFILE, "Too many open sockets"},
    {WSAEWOULDBLOCK, "Resource temporarily unavailable"},
    {WSAENOTSOCK, "Socket operation on nonsocket"},
    {WSAEMSGSIZE, "Message too long"},
    {WSAEAFNOSUPPORT, "Address family not supported"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAECONNABORTED, "Software caused connection abort"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No buffer space available"},
    {WSAENOTCONN, "Socket is not connected"},
    {WSAETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, "Connection refused"},
    {WSAEHOSTUNREACH, "No route to host"},
    {WSANOTINITIALISED, "Windows sockets not started"},
    {WSAHOST_NOT_FOUND, "Host not found"},
    {WSATRY_AGAIN, "Nonauthoritative host not found"},
    {WSANO_DATA, "Valid name, no data record of requested type"},
};

#endif

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

bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "\"" + text + "\" is not host:port";
        return false;
    }
    std::string host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (host.empty()) {
        error = "\"" + text + "\" has no host";
        return false;
    }
    unsigned long number = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (char c : port) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!digits || number > 65535) {
        error = "\"" + text + "\" has no valid port (0 to 65535)";
        return false;
    }

    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(number));
    startSockets();
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        error = "cannot resolve host \"" + host + "\"";
        return false;
    }
    addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

bool parseSocketAddress(const std::string& text, sockaddr_storage& addr, SockLen& length, std::string& error)
{
    memset(&addr, 0, sizeof addr);
    size_t close = text.find("]:");
    if (text.empty() || text[0] != '[' || close == std::string::npos) {
        sockaddr_in v4{};
        if (!parseHostPort(text, v4, error)) {
            return false;
        }
        memcpy(&addr, &v4, sizeof v4);
        length = static_cast<SockLen>(sizeof v4);
        return true;
    }
    // "[IPv6]:port": the port is checked as parseHostPort checks it.
    sockaddr_in portOnly{};
    if (!parseHostPort("0.0.0.0" + text.substr(close + 1), portOnly, error)) {
        error = "\"" + text + "\" has no valid port (0 to 65535)";
        return false;
    }
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = portOnly.sin_port;
    if (inet_pton(AF_INET6, text.substr(1, close - 1).c_str(), &v6.sin6_addr) != 1) {
        error = "\"" + text + "\" has no valid IPv6 address";
        return false;
    }
    memcpy(&addr, &v6, sizeof v6);
    length = static_cast<SockLen>(sizeof v6);
    return true;
}

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

Socket acceptClient(Socket listener)
{
    SpareDescriptor& d = spareDescriptor();
    Socket s = ::accept(listener, nullptr, nullptr);
    if (s == kNoSocket && outOfDescriptors()) {
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
        return kNoSocket;
    }
    if (s != kNoSocket) {
        d.said = false;
    }
    if (s != kNoSocket && !setNonBlocking(s)) {
        closeUnwatched(s);
        return kNoSocket;
    }
    return s;
}

#ifndef _WIN32
Socket listenLocal(const std::string& path, int backlog, LocalName& name, std::string& error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "a local socket path must be 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return kNoSocket;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat st { };
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return kNoSocket;
        }
        // A socket left by a program that ended without removing it is
        // replaced; one that a running program answers on is not.
        Socket probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
        bool answered = probe != kNoSocket &&
                        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (probe != kNoSocket) {
            closeUnwatched(probe);
        }
        if (answered) {
            error = path + " is in use by a running program";
            return kNoSocket;
        }
        unlink(path.c_str());
    }
    // Created with mode 0660: the owner and the group may connect.
    mode_t mask = umask(0117);
    Socket s = listenStream(reinterpret_cast<const sockaddr*>(&address), sizeof address, backlog, error);
    umask(mask);
    if (s == kNoSocket) {
        return kNoSocket;
    }
    if (chmod(path.c_str(), 0660) != 0 || lstat(path.c_str(), &st) != 0) {
        failAndClose(s, error);
        unlink(path.c_str());
        return kNoSocket;
    }
    name.path = path;
    name.device = st.st_dev;
    name.inode = st.st_ino;
    return s;
}

void removeLocal(const LocalName& name)
{
    // Only the file this listener made: another in its place since then is
    // left alone.
    struct stat there { };
    if (lstat(name.path.c_str(), &there) == 0 && there.st_dev == name.device && there.st_ino == name.inode) {
        unlink(name.path.c_str());
    }
}

bool sendLocalDatagram(const std::string& path, const char* bytes, size_t count, std::string& error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "a local socket path must be 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return false;
    }
    memcpy(address.sun_path, path.data(), path.size());
    if (path[0] == '@') {
        address.sun_path[0] = '\0';
    }
    Socket s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (s == kNoSocket) {
        error = lastSocketError();
        return false;
    }
    // The abstract name's length is exact: it has no terminating NUL.
    auto length = static_cast<SockLen>(offsetof(sockaddr_un, sun_path) + path.size());
    if (!setNonBlocking(s) || ::sendto(s, bytes, count, kSendFlags, reinterpret_cast<const sockaddr*>(&address),
                                       length) != static_cast<ssize_t>(count)) {
        failAndClose(s, error);
        return false;
    }
    closeUnwatched(s);
    return true;
}
#endif

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

struct DatagramBatch::Slots {
    size_t slotBytes;
    // kDatagramBatch slots, one after the other, zeroed when made: all of
    // their memory (4 MiB for the trap port) is in use from the start, so
    // the process does not grow when long datagrams first fill later slots.
    std::unique_ptr<uint8_t[]> buffer;
    sockaddr_storage from[kDatagramBatch];
    SockLen fromLength[kDatagramBatch];
    size_t size[kDatagramBatch];
#ifdef __linux__
    iovec pieces[kDatagramBatch];
    mmsghdr headers[kDatagramBatch];
#endif
    explicit Slots(size_t bytes)
        : slotBytes(bytes)
        , buffer(new uint8_t[bytes * kDatagramBatch]())
    {
#ifdef __linux__
        for (int i = 0; i < kDatagramBatch; ++i) {
            pieces[i].iov_base = buffer.get() + static_cast<size_t>(i) * slotBytes;
            pieces[i].iov_len = slotBytes;
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = &from[i];
            headers[i].msg_hdr.msg_namelen = sizeof from[i];
            headers[i].msg_hdr.msg_iov = &pieces[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
#endif
    }
};

DatagramBatch::DatagramBatch(size_t slotBytes)
    : slots_(std::make_unique<Slots>(slotBytes))
{
}

DatagramBatch::~DatagramBatch() = default;

int DatagramBatch::receive(Socket s)
{
    Slots& b = *slots_;
#ifdef __linux__
    // The headers are made once; the kernel changes only the name length and
    // the message length of those it fills, which are put back after.
    int n = ::recvmmsg(s, b.headers, kDatagramBatch, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n; ++i) {
        b.size[i] = b.headers[i].msg_len;
        b.fromLength[i] = b.headers[i].msg_hdr.msg_namelen;
        if (b.fromLength[i] == 0) {
            b.from[i].ss_family = AF_UNSPEC;
        }
        b.headers[i].msg_hdr.msg_namelen = sizeof b.from[i];
    }
    return n > 0 ? n : -1;
#else
    int n = 0;
    while (n < kDatagramBatch) {
        SockLen length = static_cast<SockLen>(sizeof b.from[n]);
        b.from[n].ss_family = AF_UNSPEC;
        auto got = ::recvfrom(s, reinterpret_cast<char*>(b.buffer.get() + static_cast<size_t>(n) * b.slotBytes),
                              static_cast<int>(b.slotBytes), 0, reinterpret_cast<sockaddr*>(&b.from[n]), &length);
        if (got < 0) {
            break;
        }
        b.fromLength[n] = length;
        b.size[n++] = static_cast<size_t>(got);
    }
    return n > 0 ? n : -1;
#endif
}

const uint8_t* DatagramBatch::bytes(int i) const
{
    return slots_->buffer.get() + static_cast<size_t>(i) * slots_->slotBytes;
}

size_t DatagramBatch::size(int i) const
{
    return slots_->size[i];
}

const sockaddr_storage& DatagramBatch::from(int i) const
{
    return slots_->from[i];
}

SockLen DatagramBatch::fromLength(int i) const
{
    return slots_->fromLength[i];
}

long sendSome(Socket s, const char* bytes, size_t count)
{
    return static_cast<long>(::send(s, bytes, static_cast<int>(std::min(count, kMaxTransfer)), kSendFlags));
}

long receiveSome(Socket s, char* bytes, size_t count)
{
    return static_cast<long>(::recv(s, bytes, static_cast<int>(std::min(count, kMaxTransfer)), 0));
}

long receiveLine(Socket s, char* bytes, size_t count)
{
    int most = static_cast<int>(std::min(count, kMaxTransfer));
    auto seen = ::recv(s, bytes, most, MSG_PEEK);
    if (seen <= 0) {
        return static_cast<long>(seen);
    }
    const char* newline = static_cast<const char*>(memchr(bytes, '\n', static_cast<size_t>(seen)));
    int wanted = newline != nullptr ? static_cast<int>(newline - bytes) + 1 : static_cast<int>(seen);
    return static_cast<long>(::recv(s, bytes, wanted, 0));
}

void shutdownSending(Socket s)
{
    ::shutdown(s, kShutSending);
}

#ifdef _WIN32

bool retryLater()
{
    int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR;
}

bool passingDatagramError()
{
    int e = WSAGetLastError();
    return e == WSAECONNRESET || e == WSAEMSGSIZE || e == WSAEINTR || e == WSAENETRESET;
}

bool setNonBlocking(Socket s)
{
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

void closeUnwatched(Socket s)
{
    ::closesocket(s);
}

std::string lastSocketError()
{
    return windowsErrorText(static_cast<DWORD>(WSAGetLastError()));
}

// Without the trailing line break and full stop.
std::string windowsErrorText(unsigned long code)
{
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    while (n > 0 &&
           (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.')) {
        --n;
    }
    if (n > 0) {
        return std::string(buffer, n);
    }
    std::string number = std::to_string(code);
    for (const SocketErrorText& row : kSocketErrorTexts) {
        if (row.code == code) {
            return std::string(row.text) + " (error " + number + ")";
        }
    }
    return "error " + number;
}

#else

bool retryLater()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

bool passingDatagramError()
{
    return errno == EINTR || errno == ECONNREFUSED || errno == ECONNRESET;
}

bool setNonBlocking(Socket s)
{
    int flags = fcntl(s, F_GETFL, 0);
    return flags != -1 && fcntl(s, F_SETFL, flags | O_NONBLOCK) != -1;
}

void closeUnwatched(Socket s)
{
    ::close(s);
}

std::string lastSocketError()
{
    return strerror(errno);
}

#endif

}  // namespace simplatform
