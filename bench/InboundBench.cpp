// Figure 1, inbound in process: the stream fed through the trader's real
// receive path (framing, inflate, dispatch, conversion, listener call,
// release, flow record) against protobuf parsing the same payloads into
// reused messages. Also the heap allocations per push of both.
#include <benchmark/benchmark.h>

#include <chrono>
#include <stdexcept>

#include "AllocCounter.h"
#include "Figures.h"
#include "PacketMix.h"
#include "exchg.pb.h"

namespace hvr::bench {

namespace {

constexpr std::size_t CYCLE_PACKETS = 10000;
constexpr std::size_t CYCLE_REPEATS = 100;      // 1,000,000 packets per run
constexpr std::size_t READ_CHUNK = 64 * 1024;   // what one socket read typically returns on loopback

// What a program that only decodes would do: every message the adapter
// decodes (a push's envelope and the order or fill inside it; an answer's
// message from its inflated bytes), into messages reused from packet to packet.
struct RawParser {
    exchg::PushMessage push;
    exchg::Order order;
    exchg::Trade trade;
    exchg::AnsOrderInsert insert;
    exchg::AnsAccountInfo account;
    exchg::TradeList trades;
    exchg::OrderList orders;
    uint64_t parsed = 0;

    template <typename Message>
    void parse(Message& m, const std::string& bytes) {
        parsed += m.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(m);
    }

    void parse(const PlainPayload& p) {
        switch (p.functionCode) {
            case FC_PUSH_MESSAGE:
                parse(push, p.bytes);
                if (push.mtype() == FC_PUSH_ORDER) parse(order, push.data());
                else parse(trade, push.data());
                break;
            case FC_CMD_ORDER_INSERT: parse(insert, p.bytes); break;
            case FC_QRY_ACCOUNT_INFO: parse(account, p.bytes); break;
            case FC_QRY_TRADES: parse(trades, p.bytes); break;
            case FC_QRY_ORDERS: parse(orders, p.bytes); break;
            default: throw std::logic_error("unexpected packet in the mix");
        }
    }
};

std::string loginAnswerPacket() {
    exchg::AnsLogin answer;
    answer.set_result(0);
    answer.set_message("");
    answer.set_tradingdate(20261207);
    answer.set_sessionid(7);
    const std::string payload = answer.SerializeAsString();
    std::string packet(PACKET_HEADER_SIZE, '\0');
    PacketHeader header;
    header.functionCode = FC_CMD_LOGIN;
    header.packetLength = static_cast<uint32_t>(PACKET_HEADER_SIZE + payload.size());
    header.requestNo = 1;
    encodeHeader(header, reinterpret_cast<uint8_t*>(&packet[0]));
    return packet + payload;
}

// A trader that has logged in (its flow record is mapped, so every push also
// stores its id) and is fed by the calling thread, never connected.
struct FedTrader {
    explicit FedTrader(const Options& options) : trader(makeTrader(options, 1, listener)) {
        const std::string login = loginAnswerPacket();
        feed(login);
        if (listener.logins.load() != 1) throw std::runtime_error("the login answer was not delivered");
    }
    void feed(const std::string& stream) {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stream.data());
        for (std::size_t at = 0; at < stream.size(); at += READ_CHUNK) {
            const std::size_t n = std::min(READ_CHUNK, stream.size() - at);
            if (!trader->feedReceivedForTools(bytes + at, n)) throw std::runtime_error("the receive path refused the stream");
        }
    }
    BenchListener listener;
    std::unique_ptr<TraderHVR> trader;
};

double secondsOf(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

std::vector<Row> runInboundInProcess(const Options& options) {
    const PacketMix mix = buildPacketMix(CYCLE_PACKETS);
    const double packets = static_cast<double>(CYCLE_PACKETS * CYCLE_REPEATS);

    RawParser raw;
    FedTrader fed(options);
    auto runBaseline = [&] {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t r = 0; r < CYCLE_REPEATS; ++r)
            for (const PlainPayload& p : mix.payloads) raw.parse(p);
        return secondsOf(std::chrono::steady_clock::now() - start);
    };
    auto runAdapter = [&] {
        const uint64_t before = fed.listener.pushes.load();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t r = 0; r < CYCLE_REPEATS; ++r) fed.feed(mix.stream);
        const double seconds = secondsOf(std::chrono::steady_clock::now() - start);
        if (fed.listener.pushes.load() - before != mix.pushes * CYCLE_REPEATS)
            throw std::runtime_error("the listener missed pushes");
        return seconds;
    };
    // Alternated, best of two: the first round also warms caches and the
    // allocator for both.
    double baseline = runBaseline(), adapter = runAdapter();
    baseline = std::min(baseline, runBaseline());
    adapter = std::min(adapter, runAdapter());
    const double adapterNs = adapter * 1e9 / packets, baselineNs = baseline * 1e9 / packets;

    // Allocations per push, with allocator and buffers warm.
    const std::string pushes = pushesOnly(mix);
    fed.feed(pushes);
    uint64_t before = allocationCount();
    fed.feed(pushes);
    const double adapterAllocs = static_cast<double>(allocationCount() - before) / static_cast<double>(mix.pushes);
    before = allocationCount();
    for (const PlainPayload& p : mix.payloads)
        if (p.functionCode == FC_PUSH_MESSAGE) raw.parse(p);
    const double baselineAllocs = static_cast<double>(allocationCount() - before) / static_cast<double>(mix.pushes);

    std::vector<Row> rows;
    rows.push_back({"inbound in process, ns per packet (1,000,000 packets; " + std::to_string(mix.pushes * 100 / CYCLE_PACKETS) +
                        "% pushes, 1% compressed answers)",
                    formatFixed(adapterNs, 0), formatFixed(baselineNs, 0), ratioText(adapterNs, baselineNs)});
    rows.push_back({std::string("heap allocations per inbound push") + (allocationHookWorks() ? "" : " (hook NOT working)"),
                    formatFixed(adapterAllocs, 2), formatFixed(baselineAllocs, 2), ratioText(adapterAllocs, baselineAllocs)});
    return rows;
}

}  // namespace hvr::bench
