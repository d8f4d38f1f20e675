// The socket layer shared by the message loop and every port: addresses,
// non-blocking sockets, listening and accepting, datagram sockets, sending
// and receiving, the "try again later" test, error texts and closing.
//
// Every socket made here is non-blocking. Functions that fail leave the
// operating system's reason in error (or for lastSocketError). Listening and
// binding take any socket address (the family decides the socket's), so
// the same calls serve IPv4 now and IPv6 or local sockets later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "../../platform/sockets.h"
#ifdef _WIN32
#include <ws2tcpip.h>  // sockaddr_in6 and the other IPv6 records
#endif

namespace simplatform {

#ifdef _WIN32
using Socket = SOCKET;
using SockLen = int;
constexpr Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
using SockLen = socklen_t;
constexpr Socket kNoSocket = -1;
#endif

#ifdef _WIN32
// Starts Windows sockets once, at the first call (the calls below that make
// a socket or resolve a name make it themselves); false when they cannot be
// started, said once on standard error.
bool startSockets();
#else
inline bool startSockets()
{
    return true;
}
#endif

// Parses "host:port" (host a dotted IPv4 address or a name the operating
// system resolves) into addr; on failure false and a reason in error.
bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error);
// The same, and also "[IPv6 address]:port"; length is the address's size.
bool parseSocketAddress(const std::string& text, sockaddr_storage& addr, SockLen& length, std::string& error);

// A listening stream socket on address; kNoSocket and the reason when it
// cannot be made. The address's port 0 lets the system pick one.
Socket listenStream(const sockaddr* address, SockLen length, int backlog, std::string& error);
// A datagram socket bound to address; kNoSocket and the reason otherwise.
// An IPv6 socket on [::] is dual-stack (IPv4 senders arrive IPv4-mapped);
// on any other IPv6 address it takes IPv6 senders only.
Socket bindDatagram(const sockaddr* address, SockLen length, std::string& error);
// A waiting connection of listener, made non-blocking; kNoSocket when there
// is none (retryLater()) or accepting failed. When the process has no
// descriptor left, the waiting connection is closed (a spare descriptor is
// kept for that), it is said once on standard error, and retryLater() is
// true: the listener does not stay ready for ever.
Socket acceptClient(Socket listener);
#ifndef _WIN32
// The file a local listener made, to remove that one and no other.
struct LocalName {
    std::string path;
    unsigned long long device = 0;
    unsigned long long inode = 0;
};
// A listening local (Unix-domain) stream socket at path, mode 0660. A
// socket left there by a program that has ended is replaced; anything else
// at path (a file, a link, a live socket) is refused with the reason.
Socket listenLocal(const std::string& path, int backlog, LocalName& name, std::string& error);
// Removes the file of a local listener, unless something else took its place.
void removeLocal(const LocalName& name);
// Sends one datagram to the local datagram socket at path ('@' first: the
// name in the abstract namespace) without waiting: false and the reason
// when it cannot be sent now.
bool sendLocalDatagram(const std::string& path, const char* bytes, size_t count, std::string& error);
#endif
// The port a socket of an internet family is bound to; 0 when unknown.
uint16_t boundPort(Socket s);

// Sends what the socket takes now: the bytes sent, or -1 (retryLater()
// tells whether to wait). A peer that has gone gives an error, never a
// signal.
long sendSome(Socket s, const char* bytes, size_t count);
// Reads what the socket holds now, at most count bytes: the bytes read, 0
// at the end of the stream, or -1 (retryLater() tells whether to wait).
long receiveSome(Socket s, char* bytes, size_t count);
// The same, but no further than the first line end: what follows it stays
// in the socket, which stays ready.
long receiveLine(Socket s, char* bytes, size_t count);
// Ends the sending side of a stream socket (the peer reads the end of the
// stream); receiving goes on.
void shutdownSending(Socket s);

// Datagrams received together: up to kDatagramBatch in one call, each into
// its own slot of slotBytes. On Linux one recvmmsg takes what is waiting;
// elsewhere recvfrom is called until nothing waits or the batch is full.
// The buffers are made once and reused: receiving allocates nothing.
constexpr int kDatagramBatch = 64;

class DatagramBatch {
public:
    explicit DatagramBatch(size_t slotBytes);
    ~DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Receives what waits on s, without waiting: the number of datagrams
    // (at least 1), or -1 when none was received (retryLater() and
    // passingDatagramError() tell why). A failure after the first datagram
    // ends the batch; the datagrams before it are kept.
    int receive(Socket s);
    // The i-th datagram of the last receive: its bytes, its size (a datagram
    // longer than a slot is cut to slotBytes, so a slot one byte larger than
    // the longest acceptable datagram shows an overlong one) and its sender.
    const uint8_t* bytes(int i) const;
    size_t size(int i) const;
    const sockaddr_storage& from(int i) const;
    SockLen fromLength(int i) const;

private:
    struct Slots;
    std::unique_ptr<Slots> slots_;
};

// True when the last socket call failed only because it would have to wait
// or was interrupted: try again when the loop says the socket is ready.
bool retryLater();
// True when the last receive on a datagram socket failed for one datagram
// or an earlier answer only (an unreachable port, an interrupted call); the
// socket is still good and the next datagram may be read.
bool passingDatagramError();

bool setNonBlocking(Socket s);
// Closes s. A watched socket is closed with the loop's closeSocket, which
// unwatches it first.
void closeUnwatched(Socket s);
// The operating system's text for its last socket error.
std::string lastSocketError();
#ifdef _WIN32
// The text of a Windows error code: the system's, else the socket layer's
// own, else "error N".
std::string windowsErrorText(unsigned long code);
#endif

}  // namespace simplatform
