// Inbound over loopback: a sender writes the stream as fast as the socket
// takes it; pushes per second delivered to the trader's listener, against a
// raw reader on the same kind of socket (blocking, a 4 MiB receive buffer)
// that frames, inflates and parses the same bytes. The heap allocations of
// the whole process per push over the same runs: real socket reads, not fed
// bytes.
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "AllocCounter.h"
#include "Figures.h"
#include "LoopbackPeers.h"
#include "PacketMix.h"
#include "RawDecoder.h"

namespace hvr::bench {

namespace {

constexpr std::size_t CYCLE_PACKETS = 10000;
constexpr std::size_t CYCLE_REPEATS = 50;
constexpr std::chrono::seconds LIMIT{30};
constexpr int TRIES = 2;  // alternated, best of

struct Run {
    double pushesPerSecond;
    double allocationsPerPush;
};

double secondsSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

Run adapterRun(const Options& options, const PacketMix& mix) {
    PushSender sender(mix.stream, CYCLE_REPEATS, LIMIT);
    BenchListener listener;
    listener.pushTarget = mix.pushes * CYCLE_REPEATS;
    auto trader = makeTrader(options, sender.port(), listener);
    const uint64_t allocationsBefore = allocationCount();
    trader->connect();
    if (!listener.waitFor(listener.pushes, listener.pushTarget, LIMIT))
        throw std::runtime_error("loopback: the trader did not receive every push in time");
    const uint64_t allocations = allocationCount() - allocationsBefore;
    const Clock::time_point end{Clock::duration(listener.pushTargetReached.load())};
    const double pushes = static_cast<double>(listener.pushTarget);
    const Run run{pushes / secondsSince(sender.started(), end), static_cast<double>(allocations) / pushes};
    trader->release();
    return run;
}

Run rawRun(const PacketMix& mix) {
    PushSender sender(mix.stream, CYCLE_REPEATS, LIMIT);
    std::vector<uint8_t> readBuffer(READ_BUFFER_SIZE);
    RawDecoder decoder;
    const uint64_t allocationsBefore = allocationCount();
    int fd = connectLoopback(sender.port(), false);
    const uint64_t target = mix.pushes * CYCLE_REPEATS;
    const Clock::time_point deadline = Clock::now() + LIMIT;
    while (decoder.pushes < target && Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, readBuffer.data(), readBuffer.size(), 0);
        if (n <= 0) break;
        if (!decoder.consume(readBuffer.data(), static_cast<std::size_t>(n))) break;
    }
    const Clock::time_point end = Clock::now();
    const uint64_t allocations = allocationCount() - allocationsBefore;
    closeSocket(fd);
    if (decoder.pushes < target) throw std::runtime_error("loopback: the raw reader did not receive every push in time");
    const double pushes = static_cast<double>(target);
    return {pushes / secondsSince(sender.started(), end), static_cast<double>(allocations) / pushes};
}

}  // namespace

std::vector<Row> runInboundLoopback(const Options& options) {
    struct Stream {
        const char* label;
        MixShape shape;
        bool goal;
    };
    const Stream streams[] = {
        {"packet mix, 13-character tags", {13, true}, true},
        {"pushes only, 13-character tags", {13, false}, false},
        {"pushes only, 24-character tags", {24, false}, false},
    };
    std::vector<Row> rates, allocations;
    const std::string hook = allocationHookWorks() ? "" : " (hook NOT working)";
    for (const Stream& s : streams) {
        const PacketMix mix = buildPacketMix(CYCLE_PACKETS, 1, s.shape);
        Run adapter{0, 0}, raw{0, 0};
        for (int t = 0; t < TRIES; ++t) {
            const Run r = rawRun(mix);
            const Run a = adapterRun(options, mix);
            if (r.pushesPerSecond > raw.pushesPerSecond) raw = r;
            if (a.pushesPerSecond > adapter.pushesPerSecond) adapter = a;
        }
        const std::string count = formatCount(static_cast<double>(mix.pushes * CYCLE_REPEATS));
        rates.push_back({std::string("inbound over loopback, pushes per second, ") + s.label + " (" + count +
                             " pushes; ratio = adapter rate / raw rate)",
                         formatCount(adapter.pushesPerSecond), formatCount(raw.pushesPerSecond),
                         formatFixed(adapter.pushesPerSecond / raw.pushesPerSecond, 2) + "x",
                         s.goal ? goalAtLeast(adapter.pushesPerSecond, raw.pushesPerSecond, 0.90) : "-"});
        allocations.push_back({std::string("heap allocations per push over a loopback socket, ") + s.label + hook,
                               formatFixed(adapter.allocationsPerPush, 2), formatFixed(raw.allocationsPerPush, 2), "-"});
    }
    rates.insert(rates.end(), allocations.begin(), allocations.end());
    return rates;
}

}  // namespace hvr::bench
