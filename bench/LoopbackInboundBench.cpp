// Figure 2, inbound over loopback: a sender writes the stream as fast as the
// socket takes it; pushes per second delivered to the trader's listener,
// against a raw reader on the same kind of socket that only frames and counts.
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "Figures.h"
#include "LoopbackPeers.h"
#include "PacketMix.h"
#include "net/Framing.h"

namespace hvr::bench {

namespace {

constexpr std::size_t CYCLE_PACKETS = 10000;
constexpr std::size_t CYCLE_REPEATS = 100;
constexpr std::chrono::seconds LIMIT{30};

double secondsSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

double adapterPushesPerSecond(const Options& options, const PacketMix& mix) {
    PushSender sender(mix.stream, CYCLE_REPEATS, LIMIT);
    BenchListener listener;
    listener.pushTarget = mix.pushes * CYCLE_REPEATS;
    auto trader = makeTrader(options, sender.port(), listener);
    trader->connect();
    if (!listener.waitFor(listener.pushes, listener.pushTarget, LIMIT))
        throw std::runtime_error("loopback: the trader did not receive every push in time");
    const Clock::time_point end{Clock::duration(listener.pushTargetReached.load())};
    const double seconds = secondsSince(sender.started(), end);
    trader->release();
    return static_cast<double>(listener.pushTarget) / seconds;
}

double rawPushesPerSecond(const PacketMix& mix) {
    PushSender sender(mix.stream, CYCLE_REPEATS, LIMIT);
    int fd = connectLoopback(sender.port(), false);
    const uint64_t target = mix.pushes * CYCLE_REPEATS;
    uint64_t pushes = 0;
    std::vector<char> readBuffer(READ_BUFFER_SIZE);
    std::string buffer;
    const Clock::time_point deadline = Clock::now() + LIMIT;
    while (pushes < target && Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, readBuffer.data(), readBuffer.size(), 0);
        if (n <= 0) break;
        buffer.append(readBuffer.data(), static_cast<std::size_t>(n));
        processFrames(buffer, [&](const uint8_t*, const PacketHeader& header) {
            pushes += header.functionCode == FC_PUSH_MESSAGE;
            return true;
        });
    }
    const Clock::time_point end = Clock::now();
    closeSocket(fd);
    if (pushes < target) throw std::runtime_error("loopback: the raw reader did not receive every push in time");
    return static_cast<double>(target) / secondsSince(sender.started(), end);
}

}  // namespace

std::vector<Row> runInboundLoopback(const Options& options) {
    const PacketMix mix = buildPacketMix(CYCLE_PACKETS);
    const double raw = rawPushesPerSecond(mix);
    const double adapter = adapterPushesPerSecond(options, mix);
    return {{"inbound over loopback, pushes per second (1,000,000 packets)", formatCount(adapter), formatCount(raw),
             ratioText(raw, adapter)}};
}

}  // namespace hvr::bench
