// The simulated platform's internal interfaces, shared by its parts:
// the event loop backend, the map database, the control port and the SNMP
// trap receiver.
//
// Single-thread rule: everything here runs on the thread that calls the
// message loop. A socket's readable handler runs inside DispatchMessageA and
// may call the program's handlers; nothing is ever called concurrently.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "../platform/sockets.h"

namespace simplatform {

#ifdef _WIN32
using Socket = SOCKET;
#else
using Socket = int;
#endif

// ---- event loop (one backend per operating system) ----

// Calls onReadable from inside DispatchMessageA each time s has data (or a
// connection, or end of stream) waiting. A handler may unwatch any socket,
// its own included, and may watch new ones. An empty function stops it.
void watchSocket(Socket s, std::function<void()> onReadable);
// Calls onWritable the same way while s can take more data; an empty
// function stops it. For a sender whose output had to wait for the peer.
void watchSocketWritable(Socket s, std::function<void()> onWritable);
// Stops both; closeSocket does it too.
void unwatchSocket(Socket s);
// Makes the next GetMessageA return 0, once.
void postQuit();
// Puts a socket in non-blocking mode; false on failure.
bool setNonBlocking(Socket s);
void closeSocket(Socket s);
// The operating system's text for its last socket error.
std::string lastSocketError();

// ---- records handed to the program ----

// Records that the platform returns to the program (lists, SymbolInfo,
// FieldValue, ...) are never given back by it. The platform keeps them and
// releases them all when the program next asks the message loop for a
// message: no handler keeps a returned record past its own return.
void keepUntilNextMessage(std::function<void()> release);
void releaseReturnedRecords();

// ---- settings ----

// The value of an environment variable, or fallback when it is unset.
std::string setting(const char* name, const char* fallback);
// Parses "host:port" (host a dotted IPv4 address or a name the operating
// system resolves) into addr; on failure false and a reason in error.
bool parseHostPort(const std::string& text, sockaddr_in& addr, std::string& error);

// ---- counters shown by the control port's stats command ----

struct Stats {
    uint64_t datagrams = 0;        // received on the trap port
    uint64_t delivered = 0;        // traps and informs handed to the program
    uint64_t informsAnswered = 0;  // Response-PDUs sent
    uint64_t malformed = 0;        // dropped: malformed, other version or PDU type
    uint64_t mapChanges = 0;       // status or label changes
};
Stats& stats();

// ---- the trap session, as the control port drives it ----

// Delivers kind 57 to the open session's callback. Empty on success,
// otherwise the reason (no session open).
std::string loseTrapConnection();

}  // namespace simplatform
