// The inbound stream every inbound benchmark replays: a cycle of packets as
// a trading server sends them to one busy account, mostly order and fill
// pushes, with an order-insert answer, an account answer, a small trade list
// and a compressed order list among them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hvr::bench {

// Of every MIX_PERIOD packets: MIX_ORDER_PUSHES order pushes, MIX_TRADE_PUSHES
// fill pushes, and one each of: order-insert answer, account answer, trade
// list (plain, MIX_TRADE_LIST_SIZE fills), order list (compressed,
// MIX_ORDER_LIST_SIZE orders).
constexpr std::size_t MIX_PERIOD = 100;
constexpr std::size_t MIX_ORDER_PUSHES = 58;
constexpr std::size_t MIX_TRADE_PUSHES = 38;
constexpr std::size_t MIX_TRADE_LIST_SIZE = 5;
constexpr std::size_t MIX_ORDER_LIST_SIZE = 40;

// One packet as the baseline sees it: its function code and the plain
// (already inflated) payload bytes.
struct PlainPayload {
    uint16_t functionCode;
    std::string bytes;
};

// The shape of a mix: the length of every user tag (13 fits a string's
// inline storage, 24 does not), whether the answers are in it at all, and
// whether every Nth push goes compressed (0: none), as from a server that
// compresses some of its pushes.
struct MixShape {
    std::size_t tagLength = 13;
    bool withAnswers = true;
    std::size_t compressEveryNthPush = 0;
};

struct PacketMix {
    std::string stream;                 // whole packets, back to back, as sent
    std::vector<PlainPayload> payloads;  // the same packets, one entry each, in order
    std::size_t pushes = 0;             // order and fill pushes among them
    std::size_t compressed = 0;         // packets sent compressed
    std::size_t answers = 0;            // the other packets (answers, some compressed)
};

// A cycle of packets / MIX_PERIOD periods (packets a multiple of
// MIX_PERIOD), starting with push id firstPushId. Ids, prices and tags vary
// from packet to packet. Without answers a period holds only its
// MIX_ORDER_PUSHES + MIX_TRADE_PUSHES pushes.
PacketMix buildPacketMix(std::size_t packets, uint64_t firstPushId = 1, MixShape shape = {});

// One compressed OrderList answer packet (FC_QRY_ORDERS) of `orders` orders,
// as a server answers an order query of a busy day.
std::string largeOrderListPacket(std::size_t orders);

}  // namespace hvr::bench
