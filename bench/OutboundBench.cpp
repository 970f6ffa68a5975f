// Outbound: the time orderInsert takes on the calling host thread, with 1, 2
// and 4 threads calling at once and the trader connected to a loopback reader
// that drains.
//   back to back  every thread calls as fast as it can, so most calls only
//                 append behind a write in flight; baseline: serializing the
//                 same ReqOrderInsert into a reused string.
//   isolated      every thread calls once every SPACING, so most calls find
//                 no write in flight and send themselves; baseline: a plain
//                 blocking send() of the same request packet on one socket
//                 shared under a mutex, same spacing, same reader. The two
//                 sides take turns in ISOLATED_ROUNDS rounds. With the
//                 platform's socket options a send either only queues behind
//                 unacknowledged data (Nagle) or transmits, and a loopback
//                 transmit runs the receiver's side inline, so one side's
//                 figure can land in the other mode for a whole run; the
//                 turns make both sides see the same modes, and a pair of
//                 rows with TCP_NODELAY on both sides (every call transmits)
//                 is measured beside them.
#include <sys/prctl.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
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

constexpr std::size_t BACK_TO_BACK_CALLS = 100000;  // per thread
constexpr std::size_t ISOLATED_CALLS = 10000;       // per thread, over all rounds
constexpr int ISOLATED_ROUNDS = 5;
constexpr std::size_t WARM_UP_CALLS = 1000;
constexpr std::chrono::microseconds SPACING{50};
constexpr std::chrono::seconds LIMIT{120};
constexpr std::chrono::seconds RUN_LIMIT{6};  // per thread count and side

struct Latency {
    double median;
    double p99;
};

Latency summarise(std::vector<int64_t>& all) {
    return {static_cast<double>(quantile(all, 0.5)), static_cast<double>(quantile(all, 0.99))};
}

// Runs `threads` threads that each call work() up to `calls` times (after a
// warm-up) and time every call; with a spacing, each thread's calls start
// that far apart (the thread sleeps in between). Appends every time, in ns,
// to all.
template <typename MakeWork>
void timeCallsInto(std::vector<int64_t>& all, unsigned threads, std::size_t calls, std::chrono::microseconds spacing,
                   MakeWork makeWork) {
    std::vector<std::vector<int64_t>> samples(threads);
    std::atomic<unsigned> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            // Wake at the requested time, not up to 50 us later.
            ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            auto work = makeWork(t);
            Clock::time_point next = Clock::now();
            auto pace = [&] {
                if (spacing.count() == 0) return;
                next += spacing;
                std::this_thread::sleep_until(next);
            };
            for (std::size_t i = 0; i < WARM_UP_CALLS; ++i) {
                pace();
                work();
            }
            std::vector<int64_t>& mine = samples[t];
            mine.reserve(calls);
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            const Clock::time_point stop = Clock::now() + RUN_LIMIT;
            next = Clock::now();
            for (std::size_t i = 0; i < calls; ++i) {
                pace();
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
    for (const auto& s : samples) all.insert(all.end(), s.begin(), s.end());
}

template <typename MakeWork>
Latency timeCalls(unsigned threads, std::size_t calls, std::chrono::microseconds spacing, MakeWork makeWork) {
    std::vector<int64_t> all;
    timeCallsInto(all, threads, calls, spacing, makeWork);
    return summarise(all);
}

std::string threadsLabel(unsigned threads) {
    return std::to_string(threads) + " thread" + (threads > 1 ? "s" : "");
}

// The trader's call, made by each worker thread with an entrust of its own.
auto orderInsertWork(TraderHVR* trader) {
    return [trader](unsigned t) {
        auto entrust = std::make_shared<kra::NXSEntrust>();
        fillEntrust(*entrust, t);
        return [entrust, trader] {
            if (trader->orderInsert(entrust.get()) != 0) throw std::runtime_error("orderInsert refused");
        };
    };
}

// A plain client: the same request packet written with one blocking send()
// on a socket shared by every thread under a mutex.
class PlainSender {
public:
    explicit PlainSender(bool noDelay = false) : drain(LIMIT), fd(connectLoopback(drain.port(), noDelay)) {}
    ~PlainSender() { closeSocket(fd); }
    void send(const std::string& packet) {
        std::lock_guard<std::mutex> guard(lock);
        if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size()))
            throw std::runtime_error("outbound: the plain send failed");
    }

private:
    DrainReader drain;
    int fd;
    std::mutex lock;
};

}  // namespace

std::vector<Row> runOutbound(const Options& options) {
    DrainReader drain(LIMIT);
    BenchListener listener;
    auto trader = makeTrader(options, drain.port(), listener);
    trader->connect();
    if (!listener.waitFor(listener.connects, 1, std::chrono::seconds(5)))
        throw std::runtime_error("outbound: the trader did not connect");
    PlainSender plain;

    std::vector<Row> backToBack, isolated;
    for (unsigned threads : {1u, 2u, 4u}) {
        const Latency adapter = timeCalls(threads, BACK_TO_BACK_CALLS, {}, orderInsertWork(trader.get()));
        const Latency baseline = timeCalls(threads, BACK_TO_BACK_CALLS, {}, [&](unsigned t) {
            kra::NXSEntrust entrust;
            fillEntrust(entrust, t);
            auto request = std::make_shared<exchg::ReqOrderInsert>();
            buildOrderInsert(entrust, *request);
            auto out = std::make_shared<std::string>();
            return [request, out] { request->SerializeToString(out.get()); };
        });
        const std::string label = "orderInsert back to back, " + threadsLabel(threads) +
                                  ", ns (baseline: serialize only, no send)";
        backToBack.push_back({label + " median", formatFixed(adapter.median, 0), formatFixed(baseline.median, 0),
                              ratioText(adapter.median, baseline.median)});
        backToBack.push_back({label + " p99", formatFixed(adapter.p99, 0), formatFixed(baseline.p99, 0),
                              ratioText(adapter.p99, baseline.p99)});
    }
    // Isolated calls, the two sides taking turns; then the same with
    // TCP_NODELAY on both sides (a trader of its own with nodelay = 1).
    auto isolatedRows = [&](TraderHVR* t, PlainSender& sender, unsigned threads, const std::string& options,
                            bool goals) {
        std::vector<int64_t> adapterSamples, baselineSamples;
        for (int round = 0; round < ISOLATED_ROUNDS; ++round) {
            timeCallsInto(adapterSamples, threads, ISOLATED_CALLS / ISOLATED_ROUNDS, SPACING, orderInsertWork(t));
            timeCallsInto(baselineSamples, threads, ISOLATED_CALLS / ISOLATED_ROUNDS, SPACING, [&](unsigned n) {
                kra::NXSEntrust entrust;
                fillEntrust(entrust, n);
                auto packet = std::make_shared<std::string>(orderRequestPacket(entrust));
                return [packet, &sender] { sender.send(*packet); };
            });
        }
        const Latency adapter = summarise(adapterSamples), baseline = summarise(baselineSamples);
        const std::string label = "orderInsert isolated (each thread one call per " +
                                  std::to_string(SPACING.count()) + " us, " + std::to_string(ISOLATED_ROUNDS) +
                                  " rounds taking turns" + options + "), " + threadsLabel(threads) +
                                  ", ns (baseline: plain send() of the same bytes)";
        isolated.push_back({label + " median", formatFixed(adapter.median, 0), formatFixed(baseline.median, 0),
                            ratioText(adapter.median, baseline.median),
                            goals ? goalAtMost(adapter.median, baseline.median, threads == 1 ? 1.2 : 1.5) : "-"});
        isolated.push_back({label + " p99", formatFixed(adapter.p99, 0), formatFixed(baseline.p99, 0),
                            ratioText(adapter.p99, baseline.p99),
                            goals ? goalAtMost(adapter.p99, baseline.p99, 3.0) : "-"});
    };
    for (unsigned threads : {1u, 2u, 4u}) isolatedRows(trader.get(), plain, threads, "", true);
    {
        DrainReader noDelayDrain(LIMIT);
        BenchListener noDelayListener;
        auto noDelayTrader = makeTrader(options, noDelayDrain.port(), noDelayListener, true);
        noDelayTrader->connect();
        if (!noDelayListener.waitFor(noDelayListener.connects, 1, std::chrono::seconds(5)))
            throw std::runtime_error("outbound: the nodelay trader did not connect");
        PlainSender noDelayPlain(true);
        isolatedRows(noDelayTrader.get(), noDelayPlain, 1, ", TCP_NODELAY on both sides", false);
        noDelayTrader->release();
    }
    trader->release();
    backToBack.insert(backToBack.end(), isolated.begin(), isolated.end());
    return backToBack;
}

}  // namespace hvr::bench
