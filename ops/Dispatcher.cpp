#include "Dispatcher.h"

#include <type_traits>
#include <utility>

#include "net/Inflate.h"

namespace hvr {

namespace {

// A complete parse: fails on malformed input, trailing bytes or a missing
// required field. The message is reused, so it is cleared by the parse.
template <typename Message>
bool parseWhole(Message& message, const uint8_t* data, std::size_t size) {
    return message.ParseFromArray(data, static_cast<int>(size));
}

}  // namespace

void handlePush(const exchg::PushMessage& push, PacketHandler& handler, DispatchScratch& scratch) {
    const std::string& data = push.data();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
    if (push.mtype() == FC_PUSH_ORDER) {
        if (parseWhole(scratch.order, bytes, data.size())) {
            handler.onOrderPush(scratch.order);
        } else {
            handler.onUnreadablePush(push.pushid(), push.mtype());
        }
    } else if (push.mtype() == FC_PUSH_TRADE) {
        if (parseWhole(scratch.trade, bytes, data.size())) {
            handler.onTradePush(scratch.trade);
        } else {
            handler.onUnreadablePush(push.pushid(), push.mtype());
        }
    }
    handler.onPushHandled(push.pushid());
}

bool DispatchScratch::trim() {
    // Beyond these sizes a buffer or list is released after its packet
    // instead of being kept for the next one.
    constexpr std::size_t KEEP_BYTES = 256 * 1024;
    constexpr int KEEP_RECORDS = 1024;
    bool released = false;
    auto release = [&released](auto& kept, bool tooLarge) {
        if (!tooLarge) return;
        std::remove_reference_t<decltype(kept)> empty;
        using std::swap;
        swap(kept, empty);
        released = true;
    };
    release(inflated, inflated.capacity() > KEEP_BYTES);
    release(orderList, orderList.orders_size() > KEEP_RECORDS);
    release(tradeList, tradeList.trades_size() > KEEP_RECORDS);
    release(positionList, positionList.positions_size() > KEEP_RECORDS);
    release(accountInfo, accountInfo.accinfos_size() > KEEP_RECORDS);
    return released;
}

bool dispatchPacket(const uint8_t* packet, PacketHandler& handler, DispatchScratch& scratch) {
    if (packet == nullptr) return false;
    return dispatchPacket(packet, decodeHeader(packet), handler, scratch);
}

bool dispatchPacket(const uint8_t* packet, const PacketHeader& header, PacketHandler& handler,
                    DispatchScratch& scratch) {
    if (packet == nullptr) return false;
    const uint8_t* payload = packet + PACKET_HEADER_SIZE;
    std::size_t payloadSize = header.packetLength - PACKET_HEADER_SIZE;

    if (header.rawLength != 0) {
        if (!plausibleRawLength(header.rawLength) ||
            !inflateExact(payload, payloadSize, header.rawLength - PACKET_HEADER_SIZE, scratch.inflated))
            return false;
        payload = reinterpret_cast<const uint8_t*>(scratch.inflated.data());
        payloadSize = scratch.inflated.size();
    }

    bool parsed = true;
    switch (header.functionCode) {
        case FC_CMD_LOGIN:
            if ((parsed = parseWhole(scratch.login, payload, payloadSize))) handler.onLoginAnswer(scratch.login);
            break;
        case FC_CMD_ORDER_INSERT:
            if ((parsed = parseWhole(scratch.orderInsert, payload, payloadSize))) handler.onOrderInsertAnswer(scratch.orderInsert);
            break;
        case FC_CMD_ORDER_CANCEL:
            if ((parsed = parseWhole(scratch.orderCancel, payload, payloadSize))) handler.onOrderCancelAnswer(scratch.orderCancel);
            break;
        case FC_QRY_ORDERS:
            if ((parsed = parseWhole(scratch.orderList, payload, payloadSize))) handler.onOrderList(scratch.orderList);
            break;
        case FC_QRY_TRADES:
            if ((parsed = parseWhole(scratch.tradeList, payload, payloadSize))) handler.onTradeList(scratch.tradeList);
            break;
        case FC_QRY_POSITION:
            if ((parsed = parseWhole(scratch.positionList, payload, payloadSize))) handler.onPositionList(scratch.positionList);
            break;
        case FC_QRY_ACCOUNT_INFO:
            if ((parsed = parseWhole(scratch.accountInfo, payload, payloadSize))) handler.onAccountInfo(scratch.accountInfo);
            break;
        case FC_PUSH_MESSAGE:
            if ((parsed = parseWhole(scratch.push, payload, payloadSize))) handlePush(scratch.push, handler, scratch);
            break;
        case FC_HEART_BEAT:
        case FC_HEART_BEAT2:
            handler.onHeartbeat();
            break;
        default:
            break;  // consumed without action
    }
    if (!parsed) handler.onUnreadableAnswer(header.functionCode);
    return true;
}

}  // namespace hvr
