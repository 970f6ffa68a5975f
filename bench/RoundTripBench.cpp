// Round trip: orderInsert on a host thread until the answer reaches
// onEntrustAnswer on the trader's network thread (the clock stops inside that
// call), over loopback to a server that answers at once; against a raw TCP
// ping-pong of the same packets with the same server (the clock stops when
// the answer is framed on the client thread). Two placements, each used by
// both sides: everything on one CPU (the default of a busy host), and the
// client side on one CPU with the server on the other.
#include <stdexcept>
#include <vector>

#include <sys/socket.h>

#include "Figures.h"
#include "LoopbackPeers.h"
#include "OrderSamples.h"
#include "Stats.h"
#include "net/Framing.h"

namespace hvr::bench {

namespace {

constexpr std::size_t ROUNDS = 4;  // alternating sides, so both see the same machine
constexpr std::size_t PER_ROUND = 10000;
constexpr std::size_t WARM_UP = 1000;
constexpr std::chrono::seconds LIMIT{60};

struct Quantiles {
    double median, p99, p999;
    std::size_t count;
};

Quantiles summarise(std::vector<int64_t>& samples) {
    if (samples.size() < ROUNDS * PER_ROUND) throw std::runtime_error("round trip: the run ran out of time");
    return {static_cast<double>(quantile(samples, 0.5)), static_cast<double>(quantile(samples, 0.99)),
            static_cast<double>(quantile(samples, 0.999)), samples.size()};
}

// The trader's side: orderInsert on this thread, the clock stopped in the
// listener call on the network thread. Waking this thread after that call is
// the host's cost, not the adapter's.
class AdapterSide {
public:
    AdapterSide(const Options& options, kra::NXSEntrust& e, int serverCpu)
        : entrust(e), server(orderAnswerPacket(e), LIMIT, serverCpu) {
        listener.entrustProbe = &answered;
        listener.wakeOnEntrust = true;
        trader = makeTrader(options, server.port(), listener);
        trader->connect();  // the network thread inherits this thread's CPU
        if (!listener.waitFor(listener.connects, 1, std::chrono::seconds(5)))
            throw std::runtime_error("round trip: the trader did not connect");
    }
    ~AdapterSide() { trader->release(); }

    void run(std::size_t count, std::vector<int64_t>* samples) {
        for (std::size_t i = 0; i < count; ++i) {
            const Clock::time_point start = Clock::now();
            trader->orderInsert(&entrust);
            if (!listener.waitFor(listener.entrustAnswers, ++sent, std::chrono::seconds(5)))
                throw std::runtime_error("round trip: an answer did not arrive");
            if (samples != nullptr) samples->push_back(answered.load() - start.time_since_epoch().count());
        }
    }

private:
    kra::NXSEntrust& entrust;
    CannedAnswerer server;
    BenchListener listener;
    std::atomic<int64_t> answered{0};
    std::unique_ptr<TraderHVR> trader;
    uint64_t sent = 0;
};

// The transport alone: write the same request packet, read until the same
// answer packet is framed, on one thread with a blocking socket.
class RawSide {
public:
    RawSide(const kra::NXSEntrust& entrust, int serverCpu)
        : server(orderAnswerPacket(entrust), LIMIT, serverCpu),
          request(orderRequestPacket(entrust)),
          fd(connectLoopback(server.port(), false)),  // the trader does not set TCP_NODELAY either
          readBuffer(1 << 16) {}
    ~RawSide() { closeSocket(fd); }

    void run(std::size_t count, std::vector<int64_t>* samples) {
        const Clock::time_point deadline = Clock::now() + LIMIT;
        for (std::size_t i = 0; i < count; ++i) {
            const Clock::time_point start = Clock::now();
            if (!writeAll(fd, request.data(), request.size(), deadline))
                throw std::runtime_error("round trip: the raw write failed");
            std::size_t answers = 0;
            while (answers == 0) {
                const ssize_t n = ::recv(fd, readBuffer.data(), readBuffer.size(), 0);
                if (n <= 0) throw std::runtime_error("round trip: the raw connection failed");
                buffer.append(readBuffer.data(), static_cast<std::size_t>(n));
                processFrames(buffer, [&](const uint8_t*, const PacketHeader&) { return ++answers != 0; });
            }
            const Clock::time_point end = Clock::now();
            if (samples != nullptr)
                samples->push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
        }
    }

private:
    CannedAnswerer server;
    const std::string request;
    int fd;
    std::vector<char> readBuffer;
    std::string buffer;
};

}  // namespace

std::vector<Row> runRoundTrip(const Options& options) {
    kra::NXSEntrust entrust;
    fillEntrust(entrust, 0);
    std::vector<Row> rows;
    // The client side (this thread, and the trader's network thread made from
    // it) stays on CLIENT_CPU; the server joins it or takes the other CPU. On
    // a small virtual machine a wake-up across CPUs costs tens of
    // microseconds more than one on the same CPU, and an unpinned run lands
    // on either from run to run.
    for (const int serverCpu : {CLIENT_CPU, SERVER_CPU}) {
        CpuPin pin(CLIENT_CPU);
        RawSide raw(entrust, serverCpu);
        AdapterSide adapter(options, entrust, serverCpu);
        raw.run(WARM_UP, nullptr);
        adapter.run(WARM_UP, nullptr);
        std::vector<int64_t> rawSamples, adapterSamples;
        rawSamples.reserve(ROUNDS * PER_ROUND);
        adapterSamples.reserve(ROUNDS * PER_ROUND);
        for (std::size_t r = 0; r < ROUNDS; ++r) {
            raw.run(PER_ROUND, &rawSamples);
            adapter.run(PER_ROUND, &adapterSamples);
        }
        const Quantiles a = summarise(adapterSamples), b = summarise(rawSamples);
        const bool sameCpu = serverCpu == CLIENT_CPU;
        const std::string label = std::string("round trip orderInsert -> onEntrustAnswer, ") +
                                  (sameCpu ? "client and server on one CPU" : "client and server on two CPUs") +
                                  ", us (" + formatCount(static_cast<double>(a.count)) +
                                  " orders; baseline: raw ping-pong, same placement)";
        auto us = [](double ns) { return formatFixed(ns / 1000.0, 1); };
        rows.push_back({label + " median", us(a.median), us(b.median), ratioText(a.median, b.median),
                        sameCpu ? goalAtMost(a.median, b.median, 1.15) : "-"});
        rows.push_back({label + " p99", us(a.p99), us(b.p99), ratioText(a.p99, b.p99)});
        rows.push_back({label + " p99.9", us(a.p999), us(b.p999), ratioText(a.p999, b.p999)});
    }
    return rows;
}

}  // namespace hvr::bench
