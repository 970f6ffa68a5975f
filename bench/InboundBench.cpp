// Inbound in process: the same stream fed in 64 KiB pieces through the
// trader's real receive path (framing, inflate, dispatch, conversion, listener
// call, release, flow record) and through the raw decoder (framing, inflate,
// parse of the same bytes, in the same pieces). Per push, for pushes alone
// with short and long user tags, and for the packet mix.
#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "Figures.h"
#include "PacketMix.h"
#include "RawDecoder.h"
#include "exchg.pb.h"

namespace hvr::bench {

namespace {

constexpr std::size_t CYCLE_PACKETS = 10000;
constexpr std::size_t CYCLE_REPEATS = 50;
constexpr std::size_t READ_CHUNK = 64 * 1024;  // what one socket read typically returns on loopback
constexpr int TRIES = 3;                       // alternated, best of: the first also warms caches

std::string loginAnswerPacket() {
    exchg::AnsLogin answer;
    answer.set_result(0);
    answer.set_message("");
    answer.set_tradingdate(20261207);
    answer.set_sessionid(7);
    const std::string payload = answer.SerializeAsString();
    std::string packet;
    appendPacket(packet, FC_CMD_LOGIN, 1, payload.data(), payload.size(), 0);
    return packet;
}

template <typename Consume>
void feedInPieces(const std::string& stream, Consume&& consume) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    for (std::size_t at = 0; at < stream.size(); at += READ_CHUNK) {
        if (!consume(bytes + at, std::min(READ_CHUNK, stream.size() - at)))
            throw std::runtime_error("inbound: a decoder refused the stream");
    }
}

// A trader that has logged in (its flow record is mapped, so every push also
// stores its id) and is fed by the calling thread, never connected.
struct FedTrader {
    explicit FedTrader(const Options& options) : trader(makeTrader(options, 1, listener)) {
        feed(loginAnswerPacket());
        if (listener.logins.load() != 1) throw std::runtime_error("the login answer was not delivered");
    }
    void feed(const std::string& stream) {
        feedInPieces(stream, [&](const uint8_t* data, std::size_t size) {
            return trader->feedReceivedForTools(data, size);
        });
    }
    BenchListener listener;
    std::unique_ptr<TraderHVR> trader;
};

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct PerPush {
    double adapterNs, baselineNs;
};

PerPush measure(const Options& options, const PacketMix& mix) {
    FedTrader fed(options);
    RawDecoder raw;
    const double pushes = static_cast<double>(mix.pushes * CYCLE_REPEATS);
    double adapter = 1e300, baseline = 1e300;
    for (int t = 0; t < TRIES; ++t) {
        const uint64_t rawBefore = raw.pushes;
        auto start = std::chrono::steady_clock::now();
        for (std::size_t r = 0; r < CYCLE_REPEATS; ++r)
            feedInPieces(mix.stream, [&](const uint8_t* data, std::size_t size) { return raw.consume(data, size); });
        baseline = std::min(baseline, seconds(start));
        if (raw.pushes - rawBefore != mix.pushes * CYCLE_REPEATS) throw std::runtime_error("the raw decoder missed pushes");

        const uint64_t before = fed.listener.pushes.load();
        start = std::chrono::steady_clock::now();
        for (std::size_t r = 0; r < CYCLE_REPEATS; ++r) fed.feed(mix.stream);
        adapter = std::min(adapter, seconds(start));
        if (fed.listener.pushes.load() - before != mix.pushes * CYCLE_REPEATS)
            throw std::runtime_error("the listener missed pushes");
    }
    return {adapter * 1e9 / pushes, baseline * 1e9 / pushes};
}

}  // namespace

std::vector<Row> runInboundInProcess(const Options& options) {
    std::vector<Row> rows;
    struct Stream {
        std::size_t tag;
        std::size_t compressEvery;
        const char* goal;  // the row the goal is set on
    };
    // The pushes with short and long tags, and the long ones with every tenth
    // push compressed: the goal's row, beside the uncompressed one.
    for (const Stream& stream : {Stream{13, 0, nullptr}, Stream{24, 0, nullptr}, Stream{24, 10, "1.10"}}) {
        const PacketMix mix = buildPacketMix(CYCLE_PACKETS, 1, {stream.tag, false, stream.compressEvery});
        const PerPush r = measure(options, mix);
        rows.push_back({"inbound in process, ns per push, pushes only, " + std::to_string(stream.tag) +
                            "-character tags" +
                            (stream.compressEvery != 0
                                 ? ", every " + std::to_string(stream.compressEvery) + "th push compressed"
                                 : std::string()) +
                            " (" + formatCount(static_cast<double>(mix.pushes * CYCLE_REPEATS)) +
                            " pushes; baseline frames, " + (stream.compressEvery != 0 ? "inflates, " : "") + "parses)",
                        formatFixed(r.adapterNs, 0), formatFixed(r.baselineNs, 0), ratioText(r.adapterNs, r.baselineNs),
                        stream.goal != nullptr ? goalAtMost(r.adapterNs, r.baselineNs, std::stod(stream.goal)) : "-"});
    }
    const PacketMix mix = buildPacketMix(CYCLE_PACKETS);
    const PerPush r = measure(options, mix);
    rows.push_back({"inbound in process, ns per push, packet mix (" + std::to_string(mix.pushes * 100 / CYCLE_PACKETS) +
                        "% pushes, 1% compressed 40-order answers, 13-character tags; all time / pushes; baseline "
                        "frames, inflates, parses)",
                    formatFixed(r.adapterNs, 0), formatFixed(r.baselineNs, 0), ratioText(r.adapterNs, r.baselineNs),
                    "-"});
    return rows;
}

}  // namespace hvr::bench
