// Sockets: making them (listening, binding, accepting), sending and
// receiving, the "try again later" test, error texts and closing; the one
// place for what POSIX and Windows sockets do differently.
//
// Every socket made here is non-blocking. Functions that fail leave the
// operating system's reason in error (or for lastSocketError). Listening and
// binding take any socket address (the family decides the socket's), so
// the same calls serve IPv4, IPv6 and local sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "../../platform/sockets.h"
#ifdef _WIN32
#include <ws2tcpip.h>  // sockaddr_in6 and the other IPv6 records
#endif

namespace simplatform {

// TransferLength: the byte count send, recv and sendto take.
#ifdef _WIN32
using Socket = SOCKET;
using SockLen = int;
using TransferLength = int;
constexpr Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
using SockLen = socklen_t;
using TransferLength = size_t;
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

// A listening stream socket on address; kNoSocket and the reason when it
// cannot be made. The address's port 0 lets the system pick one.
Socket listenStream(const sockaddr* address, SockLen length, int backlog, std::string& error);
// A datagram socket bound to address; kNoSocket and the reason otherwise.
// An IPv6 socket on [::] is dual-stack (IPv4 senders arrive IPv4-mapped);
// on any other IPv6 address it takes IPv6 senders only.
Socket bindDatagram(const sockaddr* address, SockLen length, std::string& error);
// Asks for a receive buffer of bytes on the datagram socket s; the system
// may grant less (Linux: at most net.core.rmem_max) or, for a very small
// one, more. The size granted, in the units it is asked in, or -1 when the
// system does not say. Linux reports twice what it grants, the rest being
// room for its bookkeeping of each datagram: that is halved here, so that
// what is granted compares with what was asked.
long setReceiveBuffer(Socket s, int bytes);
// A waiting connection of listener, made non-blocking; kNoSocket when there
// is none (retryLater()) or accepting failed. When the process has no
// descriptor left, the waiting connection is closed (a spare descriptor is
// kept for that), it is said once on standard error, and retryLater() is
// true: the listener does not stay ready for ever. peer, when given, gets
// the connection's remote address (zeroed when there is none).
Socket acceptClient(Socket listener, sockaddr_storage* peer = nullptr);
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
// Asks for a send buffer of bytes on a stream socket (Linux keeps twice
// that, for its bookkeeping); the system then no longer grows it by itself.
bool setSendBuffer(Socket s, int bytes);
// Bytes sent on a stream socket that the peer has not yet acknowledged:
// what the system still holds for it. 0 where the system does not tell
// (Windows).
size_t unsentBytes(Socket s);
// The next close of s is abortive: what the system still holds for the peer
// is thrown away and the peer is reset, where an ordinary close would leave
// the system sending it on after the close, for as long as the peer lets it.
void resetOnClose(Socket s);

bool setNonBlocking(Socket s);
// Closes s. A watched socket is closed with the loop's closeSocket, which
// unwatches it first.
void closeUnwatched(Socket s);

// ---- the last socket error (socketerror_posix.cpp, socketerror_win.cpp) ----

// True when the last socket call failed only because it would have to wait
// or was interrupted: try again when the loop says the socket is ready.
bool retryLater();
// True when the last receive on a datagram socket failed for one datagram
// or an earlier answer only (an unreachable port, an interrupted call); the
// socket is still good and the next datagram may be read.
bool passingDatagramError();
// The operating system's text for its last socket error.
std::string lastSocketError();
#ifdef _WIN32
// The text of a Windows error code: the system's, else the socket layer's
// own, else "error N".
std::string windowsErrorText(unsigned long code);
#endif

}  // namespace simplatform
