// When a quiet server counts as dead.
#include <gtest/gtest.h>

#include "net/PeerSilence.h"

namespace hvr {
namespace {

using namespace std::chrono_literals;
using Clock = PeerSilence::Clock;

TEST(PeerSilence, OnlyAServerThatSentHeartbeatsIsJudgedAndAnyByteKeepsItAlive) {
    const Clock::time_point t0{};
    PeerSilence watch;
    watch.start(2s, t0);
    EXPECT_FALSE(watch.expired(t0 + 1h));  // never sent a heartbeat
    EXPECT_EQ(watch.nextCheck(t0 + 1h), t0 + 1h + 2s);

    watch.heartbeatReceived();
    EXPECT_TRUE(watch.expired(t0 + 2s));  // quiet since the connection began
    watch.bytesReceived(t0 + 1500ms);
    EXPECT_FALSE(watch.expired(t0 + 3499ms));
    EXPECT_EQ(watch.nextCheck(t0 + 3s), t0 + 3500ms);
    EXPECT_TRUE(watch.expired(t0 + 3500ms));

    watch.start(2s, t0 + 10s);  // a new connection forgets the heartbeats
    EXPECT_FALSE(watch.expired(t0 + 20s));
}

// A server that only echoes our heartbeats sends none of its own: with a
// limit shorter than our heartbeat period it would be cut after each echo.
TEST(PeerSilence, EchoesOfOurHeartbeatsAreNotTheServersOwn) {
    const Clock::time_point t0{};
    PeerSilence watch;
    watch.start(1s, t0);
    for (int i = 0; i < 3; ++i) {
        watch.heartbeatSent();
        watch.heartbeatReceived();  // the echo
    }
    EXPECT_FALSE(watch.expired(t0 + 1h));
    watch.heartbeatSent();
    watch.heartbeatReceived();  // its own, before the echo of ours
    watch.heartbeatReceived();  // one more than we sent
    EXPECT_TRUE(watch.expired(t0 + 1h));

    watch.heartbeatSent();
    watch.start(1s, t0 + 2h);  // a new connection: nothing of ours unanswered
    watch.heartbeatReceived();
    EXPECT_TRUE(watch.expired(t0 + 3h));
}

TEST(PeerSilence, ZeroLimitIsOff) {
    PeerSilence watch;
    watch.start(Clock::duration::zero(), Clock::time_point{});
    watch.heartbeatReceived();
    EXPECT_FALSE(watch.enabled());
    EXPECT_FALSE(watch.expired(Clock::time_point{} + 24h));
}

}  // namespace
}  // namespace hvr
