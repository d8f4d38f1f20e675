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

std::vector<void (*)()>& turnEndTasks()
{
    static auto* tasks = new std::vector<void (*)()>;
    return *tasks;
}

void runTurnEndTasks()
{
    auto& tasks = turnEndTasks();
    // By index: a task may ask for another, which then runs in this pass.
    for (size_t i = 0; i < tasks.size(); ++i) {
        tasks[i]();
    }
    tasks.clear();
}

}  // namespace

void atTurnEnd(void (*task)())
{
    static bool atExit = std::atexit(runTurnEndTasks) == 0;
    (void)atExit;
    auto& tasks = turnEndTasks();
    if (tasks.empty()) {
        wakeLoop();
    }
    if (std::find(tasks.begin(), tasks.end(), task) == tasks.end()) {
        tasks.push_back(task);
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
