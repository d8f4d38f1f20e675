// Records handed over to the program, released at the end of the turn, and
// the tasks that wait for the end of the turn.
#include "handover.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "loop.h"

namespace simplatform {
namespace {

// Lives until the process ends, like every record still in it: the program
// may exit from inside a handler.
std::vector<std::function<void()>>& pendingReleases()
{
    static auto* releases = new std::vector<std::function<void()>>;
    return *releases;
}

struct TurnEnd {
    std::vector<void (*)()> tasks[2];  // by phase
    void (*flush)() = nullptr;
    bool flushAsked = false;
};

TurnEnd& turnEnd()
{
    static auto* instance = new TurnEnd;
    return *instance;
}

void runPhase(std::vector<void (*)()>& tasks)
{
    // By index: a task may ask for another, which then runs in this pass.
    for (size_t i = 0; i < tasks.size(); ++i) {
        tasks[i]();
    }
    tasks.clear();
}

void runTurnEndTasks()
{
    TurnEnd& t = turnEnd();
    runPhase(t.tasks[static_cast<size_t>(TurnPhase::Store)]);
    if (t.flushAsked) {
        t.flushAsked = false;
        if (t.flush != nullptr) {
            t.flush();
        }
    }
    runPhase(t.tasks[static_cast<size_t>(TurnPhase::Answer)]);
}

// The first work asked for in a turn wakes the loop, once.
void wakeForTurnEnd(const TurnEnd& t)
{
    static bool atExit = std::atexit(runTurnEndTasks) == 0;
    (void)atExit;
    if (t.tasks[0].empty() && t.tasks[1].empty() && !t.flushAsked) {
        wakeLoop();
    }
}

}  // namespace

void atTurnEnd(void (*task)(), TurnPhase phase)
{
    TurnEnd& t = turnEnd();
    auto& tasks = t.tasks[static_cast<size_t>(phase)];
    wakeForTurnEnd(t);
    if (std::find(tasks.begin(), tasks.end(), task) == tasks.end()) {
        tasks.push_back(task);
    }
}

void setTurnFlush(void (*flush)())
{
    turnEnd().flush = flush;
}

bool turnFlushSet()
{
    return turnEnd().flush != nullptr;
}

void flushAtTurnEnd()
{
    TurnEnd& t = turnEnd();
    if (t.flush != nullptr && !t.flushAsked) {
        wakeForTurnEnd(t);
        t.flushAsked = true;
    }
}

void endTurn()
{
    runTurnEndTasks();
    releaseReturnedRecords();
}

void keepUntilNextMessage(std::function<void()> release)
{
    if (release) {
        pendingReleases().push_back(std::move(release));
    }
}

void releaseReturnedRecords()
{
    auto& releases = pendingReleases();
    // By index: a release may itself keep something, which is then released
    // in this same pass. clear() keeps the capacity for the next message.
    for (size_t i = 0; i < releases.size(); ++i) {
        std::function<void()> release = std::move(releases[i]);
        release();
    }
    releases.clear();
}

}  // namespace simplatform
