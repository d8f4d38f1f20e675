// The message loop (one backend per operating system): sockets watched for
// readiness and timers, their handlers run inside DispatchMessageA.
//
// Single-thread rule: everything here runs on the thread that calls the
// message loop. A socket's readable handler runs inside DispatchMessageA and
// may call the program's handlers; nothing is ever called concurrently.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "net.h"

namespace simplatform {

// Calls onReadable from inside DispatchMessageA each time s has data (or a
// connection, or end of stream) waiting. A handler may unwatch any socket,
// its own included, and may watch new ones. An empty function stops it.
void watchSocket(Socket s, std::function<void()> onReadable);
// Calls onWritable the same way while s can take more data; an empty
// function stops it. For a sender whose output had to wait for the peer.
void watchSocketWritable(Socket s, std::function<void()> onWritable);
// Stops both; closeSocket does it too.
void unwatchSocket(Socket s);
// Calls onTick from inside DispatchMessageA about every interval, the first
// time one interval from now, until stopTimer. The id is never 0.
int startTimer(std::chrono::milliseconds interval, std::function<void()> onTick);
// Stops a timer; 0 or an id already stopped is accepted and does nothing.
void stopTimer(int id);
// Makes the next GetMessageA return 0, once.
void postQuit();
// Puts a socket in non-blocking mode; false on failure.
bool setNonBlocking(Socket s);
void closeSocket(Socket s);
// The operating system's text for its last socket error.
std::string lastSocketError();

}  // namespace simplatform
