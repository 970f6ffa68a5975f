// Routing of one received packet: the decompression check, the parse by
// function code and the hand-off to a PacketHandler. Pure: the trader is the
// handler in the product, and tests supply their own.
#pragma once

#include <cstdint>
#include <string>

#include "exchg.pb.h"
#include "net/WireFormat.h"

namespace hvr {

// What the dispatcher hands on, one call per parsed message, on the thread
// that runs dispatchPacket. Messages are valid only during the call.
class PacketHandler {
public:
    virtual void onLoginAnswer(const exchg::AnsLogin& answer) = 0;
    virtual void onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) = 0;
    virtual void onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) = 0;
    virtual void onOrderList(const exchg::OrderList& list) = 0;
    virtual void onTradeList(const exchg::TradeList& list) = 0;
    virtual void onPositionList(const exchg::PositionList& list) = 0;
    virtual void onAccountInfo(const exchg::AnsAccountInfo& answer) = 0;
    virtual void onOrderPush(const exchg::Order& order) = 0;
    virtual void onTradePush(const exchg::Trade& trade) = 0;
    // Called for every parsed PushMessage, after its order or trade (if any)
    // has been delivered.
    virtual void onPushHandled(uint64_t pushId) = 0;
    // A PushMessage whose order (mtype 60) or trade (61) data does not
    // parse: nothing is delivered, but onPushHandled still follows, so the
    // stream does not stall on it.
    virtual void onUnreadablePush(uint64_t pushId, int32_t mtype) = 0;
    // A payload under a routed function code that does not parse as its
    // message: the packet is consumed and nothing is delivered.
    virtual void onUnreadableAnswer(uint16_t functionCode) = 0;
    // A heartbeat from the server (function code 100 or 101, any payload).
    // Only a handler that watches the server's liveness needs it.
    virtual void onHeartbeat() {}

protected:
    ~PacketHandler() = default;
};

// Messages and buffers reused from packet to packet, so that a steady stream
// allocates nothing. Owned by one dispatching thread. trim() gives back what
// one unusually large answer left behind, so a trader that once received a
// huge list does not keep its memory for good; it returns whether it gave
// anything back.
struct DispatchScratch {
    bool trim();

    std::string inflated;
    exchg::AnsLogin login;
    exchg::AnsOrderInsert orderInsert;
    exchg::AnsOrderCancel orderCancel;
    exchg::OrderList orderList;
    exchg::TradeList tradeList;
    exchg::PositionList positionList;
    exchg::AnsAccountInfo accountInfo;
    exchg::PushMessage push;
    exchg::Order order;
    exchg::Trade trade;
};

// Dispatches one whole packet (header and packetLength - 16 payload bytes).
// Returns false when packet is null or a compressed payload fails the
// decompression check; true otherwise, also for unhandled function codes and
// payloads that do not parse (those are reported to onUnreadableAnswer).
bool dispatchPacket(const uint8_t* packet, PacketHandler& handler, DispatchScratch& scratch);
// The same, for a caller that has already decoded the packet's header (the
// framing pass has), so the receive path reads each header once.
bool dispatchPacket(const uint8_t* packet, const PacketHeader& header, PacketHandler& handler,
                    DispatchScratch& scratch);

// Unwraps a parsed PushMessage: mtype 60 carries an Order, 61 a Trade; then
// reports the push id whatever mtype was and whether data parsed.
void handlePush(const exchg::PushMessage& push, PacketHandler& handler, DispatchScratch& scratch);

}  // namespace hvr
