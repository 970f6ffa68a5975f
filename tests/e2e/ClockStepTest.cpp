// The wall clock steps (an NTP step, a resumed virtual machine) while a
// trader is connected: its heartbeat keeps its period.
//
// The step is made in this process only: the executable defines
// clock_gettime and gettimeofday, which the module (loaded with dlopen)
// resolves to these before the C library's; they add an offset to the
// realtime clock and pass every other clock through. That is why this test
// is an executable of its own.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <chrono>

#include "support/PeerPackets.h"
#include "support/TraderSession.h"

namespace {

std::atomic<int64_t> realtimeOffsetSeconds{0};

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* time) noexcept {
    using Real = int (*)(clockid_t, struct timespec*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = real(clock, time);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        time->tv_sec += static_cast<time_t>(realtimeOffsetSeconds.load());
    return result;
}

extern "C" int gettimeofday(struct timeval* __restrict time, void* __restrict zone) noexcept {
    using Real = int (*)(struct timeval*, void*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "gettimeofday"));
    const int result = real(time, zone);
    if (result == 0) time->tv_sec += static_cast<time_t>(realtimeOffsetSeconds.load());
    return result;
}

namespace hvr::test {
namespace {

using namespace std::chrono_literals;

TEST(ClockStep, HeartbeatKeepsItsPeriodWhenTheWallClockStepsBack) {
    ScriptedServer server;
    TempDir dir;
    TestListener listener;
    TraderHandle trader;
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), ""});
    trader->init(config.get());
    trader->registerListener(&listener);
    const auto connectCalled = std::chrono::steady_clock::now();
    trader->connect();
    ASSERT_TRUE(listener.waitForEvent(0, 0));
    ASSERT_TRUE(server.waitForConnections(1));
    // The heartbeat starts when the connect step ends: an answer delivered
    // after it shows that step over.
    server.send(packetOf(FC_QRY_ORDERS, exchg_peer::OrderList()));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderAnswers.size() == 1; }));

    // The wall clock steps an hour back. A timer on it would wait that hour
    // longer: the heartbeat would stop and the server drop the session.
    realtimeOffsetSeconds = -3600;
    // Ten seconds after the connect (measured from before it, so load can
    // only add to it), long before twenty.
    auto heartbeat = server.waitPacket(
        FC_HEART_BEAT, std::chrono::duration_cast<std::chrono::milliseconds>(connectCalled + 20s - std::chrono::steady_clock::now()));
    realtimeOffsetSeconds = 0;
    ASSERT_TRUE(heartbeat.has_value()) << "no heartbeat";
    EXPECT_GE(std::chrono::steady_clock::now() - connectCalled, 10s);
}

}  // namespace
}  // namespace hvr::test
