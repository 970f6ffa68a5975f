// Figure 3, outbound: the time orderInsert takes on the calling host thread
// with 1, 2 and 4 threads calling at once, the trader connected to a loopback
// reader that drains, against serializing the same ReqOrderInsert into a
// reused string on as many threads.
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Figures.h"
#include "LoopbackPeers.h"
#include "OrderSamples.h"
#include "Stats.h"
#include "exchg.pb.h"
#include "ops/OrderEncoding.h"

namespace hvr::bench {

namespace {

constexpr std::size_t CALLS_PER_THREAD = 100000;
constexpr std::size_t WARM_UP_CALLS = 2000;
constexpr std::chrono::seconds LIMIT{60};
constexpr std::chrono::seconds RUN_LIMIT{8};  // per thread count and side

struct Latency {
    double median;
    double p99;
};

// Runs `threads` threads that each call work() up to CALLS_PER_THREAD times
// (after a warm-up) and time every call; returns median and p99 in ns.
template <typename MakeWork>
Latency timeCalls(unsigned threads, MakeWork makeWork) {
    std::vector<std::vector<int64_t>> samples(threads);
    std::atomic<unsigned> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            auto work = makeWork(t);
            for (std::size_t i = 0; i < WARM_UP_CALLS; ++i) work();
            std::vector<int64_t>& mine = samples[t];
            mine.reserve(CALLS_PER_THREAD);
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            const Clock::time_point stop = Clock::now() + RUN_LIMIT;
            for (std::size_t i = 0; i < CALLS_PER_THREAD; ++i) {
                const Clock::time_point start = Clock::now();
                work();
                const Clock::time_point end = Clock::now();
                mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
                if (end > stop) break;
            }
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    go.store(true);
    for (std::thread& w : workers) w.join();
    std::vector<int64_t> all;
    for (const auto& s : samples) all.insert(all.end(), s.begin(), s.end());
    return {static_cast<double>(quantile(all, 0.5)), static_cast<double>(quantile(all, 0.99))};
}

}  // namespace

std::vector<Row> runOutbound(const Options& options) {
    DrainReader drain(LIMIT);
    BenchListener listener;
    auto trader = makeTrader(options, drain.port(), listener);
    trader->connect();
    if (!listener.waitFor(listener.connects, 1, std::chrono::seconds(5)))
        throw std::runtime_error("outbound: the trader did not connect");

    std::vector<Row> rows;
    for (unsigned threads : {1u, 2u, 4u}) {
        const Latency adapter = timeCalls(threads, [&](unsigned t) {
            auto entrust = std::make_shared<kra::NXSEntrust>();
            fillEntrust(*entrust, t);
            TraderHVR* target = trader.get();
            return [entrust, target] {
                if (target->orderInsert(entrust.get()) != 0) throw std::runtime_error("orderInsert refused");
            };
        });
        const Latency baseline = timeCalls(threads, [&](unsigned t) {
            kra::NXSEntrust entrust;
            fillEntrust(entrust, t);
            auto request = std::make_shared<exchg::ReqOrderInsert>();
            buildOrderInsert(entrust, *request);
            auto out = std::make_shared<std::string>();
            return [request, out] { request->SerializeToString(out.get()); };
        });
        const std::string label = "orderInsert on the host thread, " + std::to_string(threads) + " thread" +
                                  (threads > 1 ? "s" : "") + ", ns";
        rows.push_back({label + " median", formatFixed(adapter.median, 0), formatFixed(baseline.median, 0),
                        ratioText(adapter.median, baseline.median)});
        rows.push_back({label + " p99", formatFixed(adapter.p99, 0), formatFixed(baseline.p99, 0),
                        ratioText(adapter.p99, baseline.p99)});
    }
    trader->release();
    return rows;
}

}  // namespace hvr::bench
