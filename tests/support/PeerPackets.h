// Packets as the server sends them, built with the peer copy of the schema
// (package exchg_peer: the same wire encoding as exchg).
#pragma once

#include <string>

#include "CompressedPacket.h"
#include "exchg_peer.pb.h"
#include "net/WireFormat.h"

namespace hvr::test {

// A packet with the given payload bytes; rawLength as given (0 = plain).
inline std::string rawPacket(uint16_t functionCode, const std::string& payload, uint32_t rawLength = 0,
                             uint32_t requestNo = 0) {
    std::string out;
    appendPacket(out, functionCode, requestNo, payload.data(), payload.size(), rawLength);
    return out;
}

template <typename Message>
std::string packetOf(uint16_t functionCode, const Message& message) {
    return rawPacket(functionCode, message.SerializePartialAsString());
}

template <typename Message>
std::string compressedPacketOf(uint16_t functionCode, const Message& message) {
    return compressedPacket(functionCode, message.SerializePartialAsString());
}
inline exchg_peer::AnsLogin loginAnswer(int32_t result, const std::string& message, uint32_t tradingDate,
                                        int64_t sessionId = -1) {
    exchg_peer::AnsLogin a;
    a.set_result(result);
    a.set_message(message);
    a.set_tradingdate(tradingDate);
    if (sessionId >= 0) a.set_sessionid(static_cast<uint32_t>(sessionId));
    return a;
}

inline exchg_peer::Order order(uint32_t orderId, const std::string& instrument, int32_t price, uint32_t qty) {
    exchg_peer::Order o;
    o.set_accountid(1);
    o.set_orderid(orderId);
    o.set_instrument(instrument);
    o.set_price(price);
    o.set_qty(qty);
    o.set_ordertype(exchg_peer::OT_Normal);
    o.set_direct(exchg_peer::DT_Long);
    o.set_pxtype(exchg_peer::PT_LimitPrice);
    o.set_timecond(exchg_peer::TC_ValidInDay);
    o.set_offset(exchg_peer::OF_Open);
    o.set_ordertime(1700000000123ULL);
    o.set_tradedvol(0);
    o.set_leftover(qty);
    o.set_status(exchg_peer::OS_NotTradedQueuing);
    o.set_margin(0);
    o.set_leftmargin(0);
    o.set_commission(0);
    o.set_leftcommission(0);
    o.set_tradingdate(20261207);
    o.set_usertag("tag");
    return o;
}

inline exchg_peer::Trade trade(uint32_t tradeId, uint32_t orderId, const std::string& instrument, int32_t price,
                               uint32_t qty) {
    exchg_peer::Trade t;
    t.set_accountid(1);
    t.set_tradeid(tradeId);
    t.set_orderid(orderId);
    t.set_instrument(instrument);
    t.set_price(price);
    t.set_qty(qty);
    t.set_direct(exchg_peer::DT_Short);
    t.set_offset(exchg_peer::OF_Close);
    t.set_amount(static_cast<uint64_t>(price) * qty);
    t.set_commission(10);
    t.set_closeprofit(-5);
    t.set_tradetime(1700000000456ULL);
    t.set_tradingdate(20261207);
    t.set_ordertype(exchg_peer::OT_Normal);
    t.set_usertag("fill-tag");
    return t;
}

template <typename Message>
std::string pushPacket(uint64_t pushId, uint32_t mtype, const Message& message) {
    exchg_peer::PushMessage push;
    push.set_pushid(pushId);
    push.set_mtype(mtype);
    push.set_data(message.SerializeAsString());
    return packetOf(FC_PUSH_MESSAGE, push);
}

}  // namespace hvr::test
