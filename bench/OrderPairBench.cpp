// A back-to-back pair: two orderInsert calls in a row against a server that
// answers each request 2 ms after it arrived; the time from the first call
// until the second answer reaches onEntrustAnswer. Without TCP_NODELAY the
// second request waits in the socket until the first answer brings the ACK of
// the first (Nagle), so the pair takes two server delays instead of one.
// Baseline: a raw client with TCP_NODELAY that writes the two request packets
// with two send() calls and reads until both answers are framed.
#include <sys/socket.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "Figures.h"
#include "LoopbackPeers.h"
#include "OrderSamples.h"
#include "Stats.h"
#include "net/Framing.h"

namespace hvr::bench {

namespace {

constexpr std::chrono::microseconds SERVER_DELAY{2000};
constexpr std::size_t PAIRS = 200;
constexpr std::size_t WARM_UP = 10;
constexpr std::chrono::milliseconds GAP{3};  // between pairs: nothing left in flight
constexpr std::chrono::seconds LIMIT{60};

double adapterPairMedian(const Options& options, kra::NXSEntrust& entrust, bool noDelay) {
    DelayedAnswerer server(orderAnswerPacket(entrust), SERVER_DELAY, LIMIT);
    BenchListener listener;
    std::atomic<int64_t> answered{0};
    listener.entrustProbe = &answered;
    listener.wakeOnEntrust = true;
    auto trader = makeTrader(options, server.port(), listener, noDelay);
    trader->connect();
    if (!listener.waitFor(listener.connects, 1, std::chrono::seconds(5)))
        throw std::runtime_error("pair: the trader did not connect");
    std::vector<int64_t> samples;
    uint64_t expected = 0;
    for (std::size_t i = 0; i < WARM_UP + PAIRS; ++i) {
        const Clock::time_point start = Clock::now();
        trader->orderInsert(&entrust);
        trader->orderInsert(&entrust);
        expected += 2;
        if (!listener.waitFor(listener.entrustAnswers, expected, std::chrono::seconds(5)))
            throw std::runtime_error("pair: an answer did not arrive");
        if (i >= WARM_UP) samples.push_back(answered.load() - start.time_since_epoch().count());
        std::this_thread::sleep_for(GAP);
    }
    trader->release();
    return static_cast<double>(quantile(samples, 0.5));
}

double rawPairMedian(const kra::NXSEntrust& entrust) {
    DelayedAnswerer server(orderAnswerPacket(entrust), SERVER_DELAY, LIMIT);
    const std::string request = orderRequestPacket(entrust);
    int fd = connectLoopback(server.port(), true);
    std::vector<char> readBuffer(1 << 16);
    std::string buffer;
    std::vector<int64_t> samples;
    const Clock::time_point deadline = Clock::now() + LIMIT;
    for (std::size_t i = 0; i < WARM_UP + PAIRS; ++i) {
        const Clock::time_point start = Clock::now();
        if (!writeAll(fd, request.data(), request.size(), deadline) ||
            !writeAll(fd, request.data(), request.size(), deadline))
            throw std::runtime_error("pair: the raw write failed");
        std::size_t answers = 0;
        while (answers < 2) {
            const ssize_t n = ::recv(fd, readBuffer.data(), readBuffer.size(), 0);
            if (n <= 0) throw std::runtime_error("pair: the raw connection failed");
            buffer.append(readBuffer.data(), static_cast<std::size_t>(n));
            processFrames(buffer, [&](const uint8_t*, const PacketHeader&) { return ++answers != 0; });
        }
        const Clock::time_point end = Clock::now();
        if (i >= WARM_UP) samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
        std::this_thread::sleep_for(GAP);
    }
    closeSocket(fd);
    return static_cast<double>(quantile(samples, 0.5));
}

}  // namespace

std::vector<Row> runOrderPair(const Options& options) {
    kra::NXSEntrust entrust;
    fillEntrust(entrust, 0);
    const double raw = rawPairMedian(entrust);
    const double plain = adapterPairMedian(options, entrust, false);
    const double noDelay = adapterPairMedian(options, entrust, true);
    auto ms = [](double ns) { return formatFixed(ns / 1e6, 2); };
    const std::string label = "two orders back to back, server answers after 2 ms, first call to second answer, ms "
                              "median (" + std::to_string(PAIRS) + " pairs; baseline: raw client with TCP_NODELAY)";
    return {{label + ", nodelay 1", ms(noDelay), ms(raw), ratioText(noDelay, raw), goalAtMost(noDelay, raw, 1.05)},
            {label + ", default (no nodelay key)", ms(plain), ms(raw), ratioText(plain, raw), "-"}};
}

}  // namespace hvr::bench
