// The counters' document and which counters grew lately.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "simplatform/runtime/stats.h"

namespace {

using simplatform::Stats;
using simplatform::stats;

class Counters : public ::testing::Test {
protected:
    void SetUp() override { stats() = Stats{}; }
    void TearDown() override { stats() = saved_; }

private:
    Stats saved_ = stats();
};

TEST_F(Counters, TheDocumentLeavesOutWhatTheSystemCannotTell)
{
    stats().kernelDrops = 3;
    stats().receiveBufferBytes = 212992;
    std::string unknown = simplatform::statsJson();
    EXPECT_EQ(unknown.find("kernelDrops"), std::string::npos) << unknown;
    EXPECT_EQ(unknown.find("receiveBuffer"), std::string::npos) << unknown;

    stats().kernelDropsKnown = true;
    stats().receiveBufferKnown = true;
    stats().receiveBufferRequestedBytes = 1048576;
    std::string known = simplatform::statsJson();
    EXPECT_EQ(known.rfind("{\"datagrams\":0,\"kernelDrops\":3,", 0), 0u) << known;
    const std::string values = ",\"receiveBufferRequestedBytes\":1048576,\"receiveBufferBytes\":212992}";
    EXPECT_EQ(known.substr(known.size() - values.size()), values) << known;
}

TEST_F(Counters, AGrowthCountsForTheWindowAfterTheLookThatSawIt)
{
    using std::chrono::seconds;
    size_t drops = 0;
    while (simplatform::kCounters[drops].member != &Stats::kernelDrops) {
        ++drops;
    }
    const seconds window{300};
    const simplatform::CounterGrowth::Clock::time_point start{};
    simplatform::CounterGrowth growth;
    growth.look(start);
    EXPECT_FALSE(growth.grewWithin(drops, window, start));

    stats().kernelDrops = 2;
    growth.look(start + seconds(10));
    EXPECT_TRUE(growth.grewWithin(drops, window, start + seconds(309)));
    // A look that finds it unchanged does not renew it.
    growth.look(start + seconds(100));
    EXPECT_FALSE(growth.grewWithin(drops, window, start + seconds(310)));

    // A counter set back did not grow.
    stats().kernelDrops = 0;
    growth.look(start + seconds(400));
    EXPECT_FALSE(growth.grewWithin(drops, window, start + seconds(400)));
}

}  // namespace
