// What the store says of its failed writes: the first failure at once, then
// while they go on at most one line a minute with their count, and one line
// when a write works again; a trap flood that fails every second is not a
// flood of lines. Every failure is counted (stats().stateWriteErrors).
#pragma once

#include <cstdint>
#include <string>

namespace simplatform {

class WriteFaults {
public:
    explicit WriteFaults(std::string path)
        : path_(std::move(path))
    {
    }

    // A write, flush or rename failed at now (seconds, any steady clock).
    void failed(const std::string& reason, std::int64_t now);
    // The store's files are whole and up to date again.
    void succeeded();
    bool failing() const { return failing_; }

    static constexpr std::int64_t kQuietSeconds = 60;

private:
    std::string path_;
    bool failing_ = false;
    std::uint64_t unsaid_ = 0;  // failures since the last line
    std::uint64_t total_ = 0;   // failures since the last success
    std::int64_t saidAt_ = 0;
};

}  // namespace simplatform
