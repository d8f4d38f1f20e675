// The message loop on Windows: the thread's own Windows message queue.
// GetMessageA, TranslateMessage and DispatchMessageA are the system's; this
// backend only makes socket events arrive in that queue.
//
// How:
// - One hidden message-only window (parent HWND_MESSAGE) of a window class
//   of its own, created on the first watch. It is never shown and receives
//   no broadcasts.
// - WSAAsyncSelect on each watched socket posts kSocketMessage to that
//   window: wParam is the socket, lParam the network event and its error.
//   Readable watches ask for FD_READ | FD_ACCEPT | FD_CLOSE, writable ones
//   for FD_WRITE.
// - The window procedure runs the socket's handler, so every handler runs
//   inside the program's own DispatchMessageA, one at a time, on the thread
//   that created the window (the one that runs the loop).
// - postQuit is PostQuitMessage(0): the program's GetMessageA returns 0.
//
// A turn ends (handover.h: turn-end tasks run, records returned to the
// program are released) when a socket message's handlers have returned,
// and before the next socket message's handler runs. GetMessageA is the
// system's here, so for work asked for outside any handler (the program's
// start-up) wakeLoop posts kTurnEndMessage, which ends the turn when the
// program dispatches it.
//
// Invariants and known costs:
// - Winsock re-enables a network event when the call that consumes it is
//   made (recv, recvfrom, accept, send): after a recv an FD_READ message is
//   posted again while data remains. A handler that drains several
//   datagrams in one turn therefore gets further calls that find nothing
//   to read; every handler works on non-blocking sockets and takes
//   WSAEWOULDBLOCK as "nothing more".
// - FD_WRITE is an edge: it comes once the socket is writable again after a
//   send failed with WSAEWOULDBLOCK. To give writable handlers the same
//   "called while the socket can take more data" contract as poll(), the
//   backend checks the socket with select() after each writable call (and
//   when the watch is set) and posts the message itself when it is
//   writable. When it is not, and the handler's last send succeeded, no
//   FD_WRITE may ever come; so while such a socket waits, a 10 ms window
//   timer checks it again. The timer runs only while a writable watch waits
//   for buffer space, which costs at most 10 ms of latency then.
// - Messages already queued for a socket when it is unwatched are dropped
//   by the window procedure. If the system reuses a closed socket's handle
//   for a new watched socket, such a message may call the new socket's
//   handler once with nothing ready, which non-blocking handlers tolerate.
// - A watch is never changed in place: changing a socket's handlers replaces
//   its shared Watch, and the window procedure holds its own reference while
//   the handler runs, so a handler may unwatch or close its own socket.
// - Timers are window timers (SetTimer) of ids from kFirstTimer on, so they
//   reach the window procedure as WM_TIMER inside DispatchMessageA too.
// - The socket library is started (WSAStartup) by the socket layer
//   (socket.cpp) when the first socket is made, not when the DLL is loaded.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "../../platform/winmsg.h"
#include "handover.h"
#include "loop.h"

namespace simplatform {
namespace {

// A private message number in the application range; the POSIX backend
// uses the same number for its socket messages.
constexpr UINT kSocketMessage = WM_APP + 0x162;
constexpr UINT kTurnEndMessage = WM_APP + 0x163;
constexpr char kWindowClass[] = "SimplatformSocketEvents";
constexpr long kReadEvents = FD_READ | FD_ACCEPT | FD_CLOSE;
constexpr long kWriteEvents = FD_WRITE;
constexpr UINT_PTR kWritablePollTimer = 1;
constexpr UINT kWritablePollMs = 10;
constexpr UINT_PTR kFirstTimer = 100;

struct Watch : SocketHandlers {
    bool awaitingSpace = false;  // writable watch that the poll timer checks
};

struct Loop {
    HWND window = nullptr;
    bool windowFailed = false;
    bool pollTimerRunning = false;
    std::map<Socket, std::shared_ptr<Watch>> watches;
    std::map<int, std::shared_ptr<std::function<void()>>> timers;
    int lastTimer = 0;
};

// Lives until the process ends: sockets may be unwatched from other static
// objects' destructors or from handlers that call exit().
Loop& loop()
{
    static Loop* instance = new Loop;
    return *instance;
}

bool isWritable(Socket s)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval now{0, 0};
    return select(0, nullptr, &writable, nullptr, &now) == 1;
}

void postWritable(Loop& l, Socket s)
{
    PostMessageA(l.window, kSocketMessage, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(FD_WRITE, 0));
}

// Makes sure the writable handler of w (watching s) is called again: now,
// when s can take data, or else from the poll timer once it can.
void armWritable(Loop& l, Socket s, Watch& w)
{
    if (l.window == nullptr) {
        return;
    }
    if (isWritable(s)) {
        w.awaitingSpace = false;
        postWritable(l, s);
        return;
    }
    w.awaitingSpace = true;
    if (!l.pollTimerRunning && SetTimer(l.window, kWritablePollTimer, kWritablePollMs, nullptr) != 0) {
        l.pollTimerRunning = true;
    }
}

// The poll timer's tick: posts FD_WRITE for every waiting socket that can
// take data now, and stops the timer when none waits any more.
void pollWritable()
{
    Loop& l = loop();
    bool waiting = false;
    for (auto& [s, w] : l.watches) {
        if (!w->awaitingSpace || !w->onWritable) {
            continue;
        }
        if (isWritable(s)) {
            w->awaitingSpace = false;
            postWritable(l, s);
        } else {
            waiting = true;
        }
    }
    if (!waiting && l.pollTimerRunning) {
        KillTimer(l.window, kWritablePollTimer);
        l.pollTimerRunning = false;
    }
}

void runHandler(const std::function<void()>& handler)
{
    // Nothing may unwind through the system's DispatchMessageA.
    try {
        handler();
    } catch (const std::exception& e) {
        fprintf(stderr, "simplatform: socket handler failed: %s\n", e.what());
        abort();
    } catch (...) {
        fprintf(stderr, "simplatform: socket handler failed\n");
        abort();
    }
}

void dispatchSocketEvent(Socket s, LPARAM lParam)
{
    Loop& l = loop();
    auto found = l.watches.find(s);
    if (found == l.watches.end()) {
        return;  // unwatched since the message was posted
    }
    std::shared_ptr<Watch> w = found->second;
    WORD event = WSAGETSELECTEVENT(lParam);
    bool failed = WSAGETSELECTERROR(lParam) != 0;

    if (event == FD_WRITE || (failed && !w->onReadable)) {
        if (!w->onWritable) {
            return;
        }
        w->awaitingSpace = false;
        runHandler(w->onWritable);
        auto still = l.watches.find(s);
        if (still != l.watches.end() && still->second == w) {
            armWritable(l, s, *w);
        }
        return;
    }
    if (w->onReadable) {
        runHandler(w->onReadable);
    }
}

LRESULT CALLBACK socketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kSocketMessage) {
        endTurn();
        dispatchSocketEvent(static_cast<Socket>(wParam), lParam);
        // The handlers have returned: what they were handed is released,
        // what they changed is shown.
        endTurn();
        return 0;
    }
    if (message == kTurnEndMessage) {
        endTurn();
        return 0;
    }
    if (message == WM_TIMER && wParam == kWritablePollTimer) {
        pollWritable();
        return 0;
    }
    if (message == WM_TIMER && wParam >= kFirstTimer) {
        auto found = loop().timers.find(static_cast<int>(wParam - kFirstTimer));
        if (found != loop().timers.end()) {
            endTurn();
            // Its own reference: the tick may stop the timer.
            std::shared_ptr<std::function<void()>> tick = found->second;
            runHandler(*tick);
            endTurn();
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND eventWindow()
{
    Loop& l = loop();
    if (l.window != nullptr || l.windowFailed) {
        return l.window;
    }
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = socketWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassExA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        fprintf(stderr, "simplatform: cannot register the event window class: %s\n",
                windowsErrorText(GetLastError()).c_str());
        l.windowFailed = true;
        return nullptr;
    }
    l.window = CreateWindowExA(0, kWindowClass, "simplatform", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                               nullptr);
    if (l.window == nullptr) {
        fprintf(stderr, "simplatform: cannot create the event window: %s\n",
                windowsErrorText(GetLastError()).c_str());
        l.windowFailed = true;
    }
    return l.window;
}

}  // namespace

SocketHandlers watchedHandlers(Socket s)
{
    auto found = loop().watches.find(s);
    return found != loop().watches.end() ? SocketHandlers(*found->second) : SocketHandlers{};
}

// Tells Winsock which events to post for the socket's new watch.
void replaceWatch(Socket s, SocketHandlers handlers)
{
    Loop& l = loop();
    bool watched = l.watches.erase(s) != 0;
    if (!handlers.onReadable && !handlers.onWritable) {
        if (watched && l.window != nullptr) {
            WSAAsyncSelect(s, l.window, 0, 0);
        }
        return;
    }
    HWND window = eventWindow();
    if (window == nullptr) {
        return;
    }
    long events = (handlers.onReadable ? kReadEvents : 0) | (handlers.onWritable ? kWriteEvents : 0);
    auto w = std::make_shared<Watch>();
    static_cast<SocketHandlers&>(*w) = std::move(handlers);
    if (WSAAsyncSelect(s, window, kSocketMessage, events) != 0) {
        fprintf(stderr, "simplatform: cannot watch socket %llu: %s\n", static_cast<unsigned long long>(s),
                lastSocketError().c_str());
        return;
    }
    if (w->onWritable) {
        armWritable(l, s, *w);
    }
    l.watches[s] = std::move(w);
}

void wakeLoop()
{
    HWND window = eventWindow();
    if (window != nullptr) {
        PostMessageA(window, kTurnEndMessage, 0, 0);
    }
}

int startTimer(std::chrono::milliseconds interval, std::function<void()> onTick)
{
    Loop& l = loop();
    HWND window = eventWindow();
    int id = ++l.lastTimer;
    UINT ms = static_cast<UINT>(std::max<long long>(interval.count(), USER_TIMER_MINIMUM));
    if (window == nullptr || SetTimer(window, kFirstTimer + static_cast<UINT_PTR>(id), ms, nullptr) == 0) {
        fprintf(stderr, "simplatform: cannot start a timer: %s\n", windowsErrorText(GetLastError()).c_str());
        return id;
    }
    l.timers[id] = std::make_shared<std::function<void()>>(std::move(onTick));
    return id;
}

void stopTimer(int id)
{
    Loop& l = loop();
    if (l.timers.erase(id) != 0 && l.window != nullptr) {
        KillTimer(l.window, kFirstTimer + static_cast<UINT_PTR>(id));
    }
}

void postQuit()
{
    PostQuitMessage(0);
}

}  // namespace simplatform
