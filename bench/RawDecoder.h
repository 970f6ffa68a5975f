// The inbound baseline: what a program that only decodes the stream does with
// the same bytes. Frames packets where they lie in each piece of received
// bytes (only an incomplete packet is copied aside until its rest arrives),
// inflates compressed payloads and parses every message the adapter parses
// (a push's envelope and the order or fill inside it; an answer's message)
// into messages reused from packet to packet. No host records, no listener.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "exchg.pb.h"
#include "net/WireFormat.h"

namespace hvr::bench {

class RawDecoder {
public:
    // Decodes one piece of received bytes; false on a broken stream.
    bool consume(const uint8_t* data, std::size_t size);

    uint64_t pushes = 0;   // pushes whose order or fill parsed
    uint64_t answers = 0;  // answers that parsed

private:
    bool packet(const uint8_t* bytes, const PacketHeader& header);
    // Frames whole packets in [data, data + size); returns the bytes used.
    bool frame(const uint8_t* data, std::size_t size, std::size_t* used);

    std::string pending;
    std::string inflated;
    exchg::PushMessage push;
    exchg::Order order;
    exchg::Trade trade;
    exchg::AnsOrderInsert insert;
    exchg::AnsAccountInfo account;
    exchg::TradeList trades;
    exchg::OrderList orders;
};

}  // namespace hvr::bench
