// The host side of the benchmarks: a listener that only counts what it is
// handed (records are released by the module right after each call), and can
// tell a waiting thread when a count is reached.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "host/ITraderListener.h"

namespace hvr::bench {

// Counters are written by the trader's network thread (or by the thread
// feeding the receive path) and read by any thread.
class BenchListener final : public kra::ITraderListener {
public:
    void onTraderEvent(int kind, int code) override {
        if (kind == 0 && code == 0) bump(connects);
    }
    void onLoginResult(bool succeeded, const char*, uint32_t) override { bump(succeeded ? logins : loginFailures); }
    void onEntrustAnswer(kra::NXSEntrust*, kra::NXSError*) override {
        if (entrustProbe != nullptr) entrustProbe->store(std::chrono::steady_clock::now().time_since_epoch().count(),
                                                        std::memory_order_release);
        // Only a benchmark that waits for answers wakes its thread: in a
        // stream of pushes and answers a wake-up per answer would cost the
        // receiving thread a lock and a system call the raw reader never pays.
        if (wakeOnEntrust) {
            bump(entrustAnswers);
        } else {
            count(entrustAnswers);
        }
    }
    void onAccountAnswer(kra::NXSArray*) override { count(answers); }
    void onPositionsAnswer(kra::NXSArray*) override { count(answers); }
    void onOrdersAnswer(kra::NXSArray*) override { count(answers); }
    void onTradesAnswer(kra::NXSArray*) override { count(answers); }
    void onOrderPush(kra::NXSOrderInfo*) override { countPush(); }
    void onTradePush(kra::NXSTradeInfo*) override { countPush(); }
    void onTraderError(kra::NXSError*) override { count(errors); }
    kra::IContractCatalog* getContractCatalog() override { return nullptr; }
    void logMessage(int, const char*, ...) override { count(logLines); }

    // Waits until counter reaches target or the limit passes; true if reached.
    bool waitFor(const std::atomic<uint64_t>& counter, uint64_t target, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> guard(lock);
        return signal.wait_for(guard, limit, [&] { return counter.load(std::memory_order_acquire) >= target; });
    }

    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> logins{0};
    std::atomic<uint64_t> loginFailures{0};
    std::atomic<uint64_t> entrustAnswers{0};
    std::atomic<uint64_t> answers{0};
    std::atomic<uint64_t> pushes{0};
    std::atomic<uint64_t> errors{0};
    std::atomic<uint64_t> logLines{0};

    // When pushes reaches pushTarget, the time (steady_clock ticks) is kept in
    // pushTargetReached and waiters are woken. Set before the trader runs.
    uint64_t pushTarget = 0;
    std::atomic<int64_t> pushTargetReached{0};

    // Round trip: the time of the latest order answer, in steady_clock ticks,
    // and whether order answers wake waitFor. Set before the trader runs.
    std::atomic<int64_t>* entrustProbe = nullptr;
    bool wakeOnEntrust = false;

private:
    // The hot counters have one writer (the receiving thread): a plain
    // load and store, so counting costs the adapter next to nothing.
    static void count(std::atomic<uint64_t>& c) { c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    void countPush() {
        count(pushes);
        if (pushTarget != 0 && pushes.load(std::memory_order_relaxed) == pushTarget) {
            pushTargetReached.store(std::chrono::steady_clock::now().time_since_epoch().count());
            wake();
        }
    }
    // Rare events wake waiters.
    void bump(std::atomic<uint64_t>& c) {
        c.fetch_add(1, std::memory_order_acq_rel);
        wake();
    }
    void wake() {
        { std::lock_guard<std::mutex> guard(lock); }
        signal.notify_all();
    }

    std::mutex lock;
    std::condition_variable signal;
};

}  // namespace hvr::bench
