// Failed writes of the store, said sparingly and counted.
#include "writefaults.h"

#include <cstdio>

#include "../runtime/stats.h"

namespace simplatform {

void WriteFaults::failed(const std::string& reason, std::int64_t now)
{
    stats().stateWriteErrors++;
    total_++;
    if (!failing_) {
        failing_ = true;
        unsaid_ = 0;
        saidAt_ = now;
        std::fprintf(stderr, "simplatform: cannot write the state file %s: %s\n", path_.c_str(), reason.c_str());
    } else if (now - saidAt_ >= kQuietSeconds) {
        std::fprintf(stderr, "simplatform: writing the state file %s failed %llu more times: %s\n", path_.c_str(),
                     static_cast<unsigned long long>(unsaid_) + 1, reason.c_str());
        unsaid_ = 0;
        saidAt_ = now;
    } else {
        unsaid_++;
        return;
    }
    std::fflush(stderr);
}

void WriteFaults::succeeded()
{
    if (failing_) {
        std::fprintf(stderr, "simplatform: the state file %s is written again, after %llu failed writes\n",
                     path_.c_str(), static_cast<unsigned long long>(total_));
        std::fflush(stderr);
    }
    failing_ = false;
    unsaid_ = 0;
    total_ = 0;
}

}  // namespace simplatform
