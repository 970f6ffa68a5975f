// The repeating timer: restart, cancel and the period.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <thread>

#include "net/RepeatingTimer.h"

namespace hvr {
namespace {

using std::chrono::milliseconds;

class RepeatingTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        runner = std::thread([this] { io.run(); });
    }
    void TearDown() override {
        work.reset();
        io.stop();
        runner.join();
    }
    template <typename Pred>
    bool eventually(Pred pred) {
        for (int i = 0; i < 2000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return pred();
    }

    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    std::thread runner;
};

TEST_F(RepeatingTimerTest, FiresAgainAndAgainUntilCancelled) {
    basic_repeating_timer timer(io);
    std::atomic<int> calls{0};
    timer.start(milliseconds(5), [&](const boost::system::error_code& e) {
        if (!e) ++calls;
    });
    EXPECT_TRUE(eventually([&] { return calls >= 3; }));
    timer.cancel();
    const int atCancel = calls;
    std::atomic<bool> marker{false};
    boost::asio::post(io, [&] { marker = true; });  // everything queued before it has run
    EXPECT_TRUE(eventually([&] { return marker.load(); }));
    EXPECT_LE(calls, atCancel + 1);
}

TEST_F(RepeatingTimerTest, RestartWhileAWaitIsPendingNeverCallsTheOldHandler) {
    basic_repeating_timer timer(io);
    std::atomic<int> oldCalls{0};
    std::atomic<int> newCalls{0};
    timer.start(milliseconds(50), [&](const boost::system::error_code&) { ++oldCalls; });
    timer.start(milliseconds(5), [&](const boost::system::error_code& e) {
        if (!e) ++newCalls;
    });
    EXPECT_TRUE(eventually([&] { return newCalls >= 3; }));
    EXPECT_EQ(oldCalls, 0);  // not even with the abort error
    timer.cancel();
}

TEST_F(RepeatingTimerTest, CancelFromAnotherThreadWaitsForARunningHandler) {
    basic_repeating_timer timer(io);
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    std::atomic<bool> release{false};
    timer.start(milliseconds(1), [&](const boost::system::error_code& e) {
        if (e || finished) return;
        inside = true;
        while (!release) std::this_thread::yield();
        finished = true;
    });
    ASSERT_TRUE(eventually([&] { return inside.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release = true;
    });
    timer.cancel();
    EXPECT_TRUE(finished);  // cancel returned only after the handler did
    releaser.join();
}

TEST_F(RepeatingTimerTest, AThrowingHandlerKeepsTheTimerRunning) {
    basic_repeating_timer timer(io);
    std::atomic<int> calls{0};
    timer.start(milliseconds(2), [&](const boost::system::error_code& e) {
        if (e) return;
        ++calls;
        throw std::runtime_error("handler failure");
    });
    EXPECT_TRUE(eventually([&] { return calls >= 3; }));
    timer.cancel();
}

}  // namespace
}  // namespace hvr
