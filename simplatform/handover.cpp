// Records handed over to the program, released at the next message.
#include "handover.h"

#include <vector>

namespace simplatform {
namespace {

// Lives until the process ends, like every record still in it: the program
// may exit from inside a handler.
std::vector<std::function<void()>>& pendingReleases()
{
    static auto* releases = new std::vector<std::function<void()>>;
    return *releases;
}

}  // namespace

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
