// The message loop on POSIX systems: GetMessageA waits in poll() until a
// watched socket is ready or a quit was posted, and DispatchMessageA runs
// the ready socket's handler.
//
// Invariants:
// - One thread. Handlers run inside DispatchMessageA, one at a time, and the
//   loop itself is never re-entered from a handler.
// - Round robin: one poll() gives a batch of ready sockets; each is handed
//   out as one message before the next poll(), so a socket that is always
//   ready (a trap flood) gets one turn per round and never starves the
//   others. A handler may drain several datagrams in its turn.
// - A watch is never changed in place: changing a socket's handlers marks
//   the old watch removed and adds a new one, so a running handler's
//   std::function is never destroyed under it. Removed watches are freed
//   just before the next poll(), when no handler runs.
// - No allocation per message: the poll set is rebuilt only when the set of
//   watches changed, and the batch vector keeps its capacity.
// - Timers are watches without a socket: poll() waits at most until the
//   nearest one is due, and a due timer joins the batch like a ready
//   socket, one turn per round. A timer that fell behind is not run twice
//   to catch up; its next tick is one interval after this one.
#include <errno.h>
#include <poll.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "../../platform/winmsg.h"
#include "../os/servicenotify.h"
#include "handover.h"
#include "loop.h"

namespace simplatform {
namespace {

// A private message number in the application range, as a Windows backend
// would post for a socket event; wParam is the socket, lParam the batch slot.
constexpr UINT kSocketMessage = 0x8000 + 0x162;
constexpr UINT kQuitMessage = 0x0012;
// How long GetMessageA sleeps before it reports an error, so that a caller
// that keeps looping on -1 does not spin.
constexpr auto kErrorBackoff = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;

struct Watch : SocketHandlers {
    Socket socket;    // kNoSocket for a timer
    short ready = 0;  // poll() events not yet dispatched
    bool removed = false;
    int timer = 0;  // a timer's id
    Clock::duration interval{};
    Clock::time_point due{};
};

struct Loop {
    std::vector<std::unique_ptr<Watch>> watches;
    std::vector<pollfd> pollSet;  // built from the live watches
    std::vector<Watch*> polled;   // the watch of each pollSet entry
    std::vector<Watch*> batch;    // ready watches of the last poll()
    size_t next = 0;              // next batch slot to hand out
    std::vector<Watch*> timers;   // the live timers among the watches
    bool changed = true;          // watches changed since pollSet was built
    bool quitPending = false;
    int lastTimer = 0;
    int dispatching = 0;
};

// Lives until the process ends: sockets may be unwatched from other static
// objects' destructors or from handlers that call exit().
Loop& loop()
{
    static Loop* instance = new Loop;
    return *instance;
}

Watch* findWatch(Loop& l, Socket s)
{
    for (auto& w : l.watches) {
        if (!w->removed && w->timer == 0 && w->socket == s) {
            return w.get();
        }
    }
    return nullptr;
}

void rebuildPollSet(Loop& l)
{
    if (l.dispatching == 0) {
        l.watches.erase(std::remove_if(l.watches.begin(), l.watches.end(),
                                       [](const std::unique_ptr<Watch>& w) { return w->removed; }),
                        l.watches.end());
    }
    l.pollSet.clear();
    l.polled.clear();
    l.timers.clear();
    for (auto& w : l.watches) {
        if (w->removed) {
            continue;
        }
        if (w->timer != 0) {
            l.timers.push_back(w.get());
            continue;
        }
        short events = 0;
        if (w->onReadable) {
            events |= POLLIN;
        }
        if (w->onWritable) {
            events |= POLLOUT;
        }
        l.pollSet.push_back(pollfd{w->socket, events, 0});
        l.polled.push_back(w.get());
    }
    l.changed = false;
}

void fill(MSG* msg, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (msg != nullptr) {
        msg->hwnd = nullptr;
        msg->message = message;
        msg->wParam = wParam;
        msg->lParam = lParam;
        msg->time = 0;
        msg->pt.x = 0;
        msg->pt.y = 0;
    }
}

// How long poll() may wait: until the nearest timer is due, or for ever.
int pollTimeout(const Loop& l)
{
    if (l.timers.empty()) {
        return -1;
    }
    Clock::time_point now = Clock::now();
    Clock::time_point nearest = l.timers.front()->due;
    for (const Watch* t : l.timers) {
        nearest = std::min(nearest, t->due);
    }
    if (nearest <= now) {
        return 0;
    }
    // Rounded up, so that the timer is due when poll() returns.
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now) +
                std::chrono::milliseconds(1);
    return static_cast<int>(std::min<long long>(wait.count(), 24LL * 3600 * 1000));
}

void collectDueTimers(Loop& l)
{
    Clock::time_point now = Clock::now();
    for (Watch* t : l.timers) {
        if (!t->removed && t->due <= now) {
            t->due = now + t->interval;
            t->ready = POLLIN;
            l.batch.push_back(t);
        }
    }
}

int failAfterBackoff(MSG* msg)
{
    std::this_thread::sleep_for(kErrorBackoff);
    fill(msg, 0, 0, 0);
    return -1;
}

}  // namespace

SocketHandlers watchedHandlers(Socket s)
{
    Watch* w = findWatch(loop(), s);
    return w != nullptr ? SocketHandlers(*w) : SocketHandlers{};
}

void replaceWatch(Socket s, SocketHandlers handlers)
{
    Loop& l = loop();
    if (Watch* old = findWatch(l, s)) {
        old->removed = true;
    }
    if (handlers.onReadable || handlers.onWritable) {
        auto w = std::make_unique<Watch>();
        static_cast<SocketHandlers&>(*w) = std::move(handlers);
        w->socket = s;
        l.watches.push_back(std::move(w));
    }
    l.changed = true;
}

// GetMessageA ends the turn before it waits: nothing to wake.
void wakeLoop() { }

int startTimer(std::chrono::milliseconds interval, std::function<void()> onTick)
{
    Loop& l = loop();
    auto w = std::make_unique<Watch>();
    w->socket = kNoSocket;
    w->onReadable = std::move(onTick);
    w->timer = ++l.lastTimer;
    w->interval = std::max(interval, std::chrono::milliseconds(1));
    w->due = Clock::now() + w->interval;
    l.watches.push_back(std::move(w));
    l.changed = true;
    return l.lastTimer;
}

void stopTimer(int id)
{
    Loop& l = loop();
    for (auto& w : l.watches) {
        if (!w->removed && w->timer == id && id != 0) {
            w->removed = true;
            l.changed = true;
        }
    }
}

void postQuit()
{
    loop().quitPending = true;
}

}  // namespace simplatform

using simplatform::Loop;
using simplatform::Watch;

BOOL GetMessageA(MSG* msg, HWND window, UINT filter_min, UINT filter_max)
{
    (void)window;
    (void)filter_min;
    (void)filter_max;
    simplatform::endTurn();

    Loop& l = simplatform::loop();
    if (l.quitPending) {
        l.quitPending = false;
        simplatform::fill(msg, simplatform::kQuitMessage, 0, 0);
        return 0;
    }
    for (;;) {
        while (l.next < l.batch.size()) {
            size_t slot = l.next++;
            Watch* w = l.batch[slot];
            if (!w->removed && w->ready != 0) {
                simplatform::fill(msg, simplatform::kSocketMessage, static_cast<WPARAM>(w->socket),
                                  static_cast<LPARAM>(slot));
                return 1;
            }
        }
        l.batch.clear();
        l.next = 0;
        if (l.changed) {
            simplatform::rebuildPollSet(l);
        }
        if (l.pollSet.empty() && l.timers.empty()) {
            return simplatform::failAfterBackoff(msg);
        }
        // The first wait: every port is open and the program is attached.
        simplatform::notifyServiceReady();
        int n = ::poll(l.pollSet.data(), static_cast<nfds_t>(l.pollSet.size()), simplatform::pollTimeout(l));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return simplatform::failAfterBackoff(msg);
        }
        for (size_t i = 0; i < l.pollSet.size(); ++i) {
            short events = l.pollSet[i].revents;
            if (events == 0) {
                continue;
            }
            Watch* w = l.polled[i];
            if (events & POLLNVAL) {
                // Closed without closeSocket: it can never become ready
                // again, and leaving it would make poll() return at once.
                fprintf(stderr, "simplatform: socket %d was closed while watched; no longer watched\n",
                        static_cast<int>(w->socket));
                w->removed = true;
                l.changed = true;
                continue;
            }
            w->ready = events;
            l.batch.push_back(w);
        }
        simplatform::collectDueTimers(l);
    }
}

BOOL TranslateMessage(const MSG* msg)
{
    (void)msg;
    return 0;
}

LRESULT DispatchMessageA(const MSG* msg)
{
    if (msg == nullptr || msg->message != simplatform::kSocketMessage) {
        return 0;
    }
    Loop& l = simplatform::loop();
    size_t slot = static_cast<size_t>(msg->lParam);
    if (slot >= l.batch.size()) {
        return 0;
    }
    Watch* w = l.batch[slot];
    if (w->removed || w->socket != static_cast<simplatform::Socket>(msg->wParam) || w->ready == 0) {
        return 0;
    }
    short events = w->ready;
    w->ready = 0;

    struct Depth {
        int& n;
        explicit Depth(int& count)
            : n(count)
        {
            ++n;
        }
        ~Depth() { --n; }
    } depth(l.dispatching);

    bool failed = (events & (POLLERR | POLLHUP)) != 0;
    if (w->onWritable && ((events & POLLOUT) || (failed && !w->onReadable))) {
        w->onWritable();
    }
    if (!w->removed && w->onReadable && (events & (POLLIN | POLLERR | POLLHUP))) {
        w->onReadable();
    }
    // The handlers have returned: what they were handed is released, what
    // they changed is shown.
    simplatform::endTurn();
    return 0;
}
