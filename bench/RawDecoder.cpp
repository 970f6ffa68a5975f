#include "RawDecoder.h"

#include <zlib.h>

#include <algorithm>

namespace hvr::bench {

namespace {

template <typename Message>
bool parse(Message& message, const uint8_t* data, std::size_t size) {
    return message.ParseFromArray(data, static_cast<int>(size));
}

}  // namespace

bool RawDecoder::consume(const uint8_t* data, std::size_t size) {
    std::size_t used = 0;
    if (!pending.empty()) {
        // Complete the held-over packet with just the bytes it lacks.
        std::size_t need = PACKET_HEADER_SIZE > pending.size() ? PACKET_HEADER_SIZE - pending.size() : 0;
        std::size_t take = std::min(need, size);
        pending.append(reinterpret_cast<const char*>(data), take);
        used = take;
        if (pending.size() < PACKET_HEADER_SIZE) return true;
        const PacketHeader header = decodeHeader(reinterpret_cast<const uint8_t*>(pending.data()));
        if (header.magic != PACKET_MAGIC || header.packetLength < PACKET_HEADER_SIZE) return false;
        take = std::min<std::size_t>(header.packetLength - pending.size(), size - used);
        pending.append(reinterpret_cast<const char*>(data + used), take);
        used += take;
        if (pending.size() < header.packetLength) return true;
        if (!packet(reinterpret_cast<const uint8_t*>(pending.data()), header)) return false;
        pending.clear();
    }
    std::size_t framed = 0;
    if (!frame(data + used, size - used, &framed)) return false;
    pending.assign(reinterpret_cast<const char*>(data + used + framed), size - used - framed);
    return true;
}

bool RawDecoder::frame(const uint8_t* data, std::size_t size, std::size_t* used) {
    std::size_t at = 0;
    while (size - at >= PACKET_HEADER_SIZE) {
        const PacketHeader header = decodeHeader(data + at);
        if (header.magic != PACKET_MAGIC || header.packetLength < PACKET_HEADER_SIZE) return false;
        if (header.packetLength > size - at) break;
        if (!packet(data + at, header)) return false;
        at += header.packetLength;
    }
    *used = at;
    return true;
}

bool RawDecoder::packet(const uint8_t* bytes, const PacketHeader& header) {
    const uint8_t* payload = bytes + PACKET_HEADER_SIZE;
    std::size_t size = header.packetLength - PACKET_HEADER_SIZE;
    if (header.rawLength != 0) {
        if (header.rawLength < PACKET_HEADER_SIZE) return false;
        inflated.resize(header.rawLength - PACKET_HEADER_SIZE);
        uLongf out = static_cast<uLongf>(inflated.size());
        if (uncompress(reinterpret_cast<Bytef*>(&inflated[0]), &out, payload, static_cast<uLong>(size)) != Z_OK ||
            out != inflated.size())
            return false;
        payload = reinterpret_cast<const uint8_t*>(inflated.data());
        size = inflated.size();
    }
    switch (header.functionCode) {
        case FC_PUSH_MESSAGE:
            if (!parse(push, payload, size)) break;
            if (push.mtype() == FC_PUSH_ORDER) {
                const std::string& data = push.data();
                pushes += parse(order, reinterpret_cast<const uint8_t*>(data.data()), data.size());
            } else if (push.mtype() == FC_PUSH_TRADE) {
                const std::string& data = push.data();
                pushes += parse(trade, reinterpret_cast<const uint8_t*>(data.data()), data.size());
            }
            break;
        case FC_CMD_ORDER_INSERT: answers += parse(insert, payload, size); break;
        case FC_QRY_ACCOUNT_INFO: answers += parse(account, payload, size); break;
        case FC_QRY_TRADES: answers += parse(trades, payload, size); break;
        case FC_QRY_ORDERS: answers += parse(orders, payload, size); break;
        default: break;
    }
    return true;
}

}  // namespace hvr::bench
