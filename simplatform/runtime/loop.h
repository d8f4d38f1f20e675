// The message loop (one backend per operating system): sockets watched for
// readiness and timers, their handlers run inside DispatchMessageA.
//
// Single-thread rule: everything here runs on the thread that calls the
// message loop. A socket's readable handler runs inside DispatchMessageA and
// may call the program's handlers; nothing is ever called concurrently.
#pragma once

#include <chrono>
#include <functional>

#include "../os/net.h"

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
// Unwatches s and closes it.
void closeSocket(Socket s);
// Makes sure the loop ends a turn (handover.h) soon even when no socket
// becomes ready: for work asked for outside any handler.
void wakeLoop();
// Calls onTick from inside DispatchMessageA about every interval, the first
// time one interval from now, until stopTimer. The id is never 0.
int startTimer(std::chrono::milliseconds interval, std::function<void()> onTick);
// Stops a timer; 0 or an id already stopped is accepted and does nothing.
void stopTimer(int id);
// Makes the next GetMessageA return 0, once.
void postQuit();

// ---- provided by each backend for the calls above ----

struct SocketHandlers {
    std::function<void()> onReadable;
    std::function<void()> onWritable;
};
// The handlers s is watched with; none when it is not watched.
SocketHandlers watchedHandlers(Socket s);
// Replaces the socket's watch by one with handlers (none: the socket is no
// longer watched). A watch is never changed in place, so that a running
// handler is never destroyed under itself.
void replaceWatch(Socket s, SocketHandlers handlers);

}  // namespace simplatform
