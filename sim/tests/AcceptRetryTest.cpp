// The pacing of a failing accept: the retry wait and the log throttle.
#include <gtest/gtest.h>

#include "AcceptBackoff.h"
#include "ConnectionCap.h"
#include "LogThrottle.h"

namespace hvr::sim {
namespace {

using std::chrono::milliseconds;

TEST(AcceptBackoff, DoublesFromAHundredMillisecondsUpToOneSecondAndStartsOverAfterSuccess) {
    AcceptBackoff backoff;
    std::vector<int64_t> waits;
    for (int i = 0; i < 6; ++i) waits.push_back(backoff.afterFailure().count());
    EXPECT_EQ(waits, (std::vector<int64_t>{100, 200, 400, 800, 1000, 1000}));
    backoff.afterSuccess();
    EXPECT_EQ(backoff.afterFailure(), milliseconds(100));
}

TEST(LogThrottle, LogsOnceAnIntervalAndCountsTheRest) {
    LogThrottle throttle(std::chrono::seconds(1));
    const LogThrottle::Clock::time_point t0{};
    ASSERT_TRUE(throttle.admit(t0).has_value());
    EXPECT_EQ(*throttle.admit(t0 + std::chrono::seconds(5)), 0u);  // nothing left out in between
    for (int i = 1; i <= 999; ++i) EXPECT_FALSE(throttle.admit(t0 + std::chrono::seconds(5) + milliseconds(i)));
    const auto next = throttle.admit(t0 + std::chrono::seconds(6));
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next, 999u);
}

TEST(ConnectionCap, LeavesTheServerItsOwnDescriptors) {
    EXPECT_EQ(connectionCap(256, 1024), 256u);
    EXPECT_EQ(connectionCap(256, 64), 64u - SERVER_DESCRIPTORS);
    EXPECT_EQ(connectionCap(256, SERVER_DESCRIPTORS), 1u);  // never none at all
    EXPECT_EQ(connectionCap(5, 64), 5u);
}

}  // namespace
}  // namespace hvr::sim
