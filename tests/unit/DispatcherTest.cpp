// Routing of whole packets: the decompression check, parsing by function
// code, and push unwrapping.
#include <gtest/gtest.h>

#include "ops/Dispatcher.h"
#include "tests/support/CompressedPacket.h"

namespace hvr {
namespace {

struct Recorder : PacketHandler {
    std::vector<std::string> calls;
    std::vector<uint64_t> pushIds;
    std::size_t lastListSize = 0;
    void onLoginAnswer(const exchg::AnsLogin&) override { calls.push_back("login"); }
    void onOrderInsertAnswer(const exchg::AnsOrderInsert&) override { calls.push_back("insert"); }
    void onOrderCancelAnswer(const exchg::AnsOrderCancel&) override { calls.push_back("cancel"); }
    void onOrderList(const exchg::OrderList& l) override {
        calls.push_back("orders");
        lastListSize = static_cast<std::size_t>(l.orders_size());
    }
    void onTradeList(const exchg::TradeList&) override { calls.push_back("trades"); }
    void onPositionList(const exchg::PositionList&) override { calls.push_back("positions"); }
    void onAccountInfo(const exchg::AnsAccountInfo&) override { calls.push_back("account"); }
    void onOrderPush(const exchg::Order&) override { calls.push_back("order-push"); }
    void onTradePush(const exchg::Trade&) override { calls.push_back("trade-push"); }
    void onPushHandled(uint64_t id) override {
        calls.push_back("push-id");
        pushIds.push_back(id);
    }
    void onUnreadablePush(uint64_t id, int32_t mtype) override {
        calls.push_back("unreadable-push " + std::to_string(id) + " " + std::to_string(mtype));
    }
    void onUnreadableAnswer(uint16_t code) override { calls.push_back("unreadable " + std::to_string(code)); }
    void onHeartbeat() override { calls.push_back("heartbeat"); }
};

std::string packet(uint16_t code, const std::string& payload, uint32_t rawLength = 0) {
    std::string out;
    appendRequestPacket(out, code, 1, payload.data(), payload.size());
    writeLE32(reinterpret_cast<uint8_t*>(&out[OFFSET_RAW_LENGTH]), rawLength);
    return out;
}

std::string compressed(uint16_t code, const std::string& raw, int sizeError = 0) {
    return test::compressedPacket(code, raw, 1, 6, sizeError);
}

exchg::Order validOrder() {
    exchg::Order o;
    o.set_accountid(1); o.set_orderid(2); o.set_instrument("X"); o.set_price(1); o.set_qty(1);
    o.set_ordertype(exchg::OT_Normal); o.set_direct(exchg::DT_Long); o.set_pxtype(exchg::PT_LimitPrice);
    o.set_timecond(exchg::TC_ValidInDay); o.set_offset(exchg::OF_Open); o.set_ordertime(1); o.set_tradedvol(0);
    o.set_leftover(1); o.set_status(exchg::OS_AllTraded); o.set_margin(0); o.set_leftmargin(0);
    o.set_commission(0); o.set_leftcommission(0); o.set_tradingdate(1); o.set_usertag("");
    return o;
}

std::string push(uint64_t id, uint32_t mtype, const std::string& data) {
    exchg::PushMessage m;
    m.set_pushid(id);
    m.set_mtype(mtype);
    m.set_data(data);
    return packet(FC_PUSH_MESSAGE, m.SerializeAsString());
}

class Dispatch : public ::testing::Test {
protected:
    bool run(const std::string& p) { return dispatchPacket(reinterpret_cast<const uint8_t*>(p.data()), handler, scratch); }
    Recorder handler;
    DispatchScratch scratch;
};

TEST_F(Dispatch, NullPacketIsRejected) { EXPECT_FALSE(dispatchPacket(nullptr, handler, scratch)); }

TEST_F(Dispatch, UnhandledCodesAreConsumedSilently) {
    for (uint16_t code : {0, 4, 29, 32, 34, 36, 60, 61, 62, 68, 70, 999, 65535}) {
        EXPECT_TRUE(run(packet(code, "\x08\x01"))) << code;
    }
    EXPECT_TRUE(handler.calls.empty());
}

TEST_F(Dispatch, BothHeartbeatCodesAreReportedWhateverTheirPayload) {
    EXPECT_TRUE(run(packet(FC_HEART_BEAT, "")));
    EXPECT_TRUE(run(packet(FC_HEART_BEAT2, "\x08\x01")));
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"heartbeat", "heartbeat"}));
}

TEST_F(Dispatch, DecompressionCheckComesBeforeTheRouting) {
    EXPECT_FALSE(run(compressed(999, "abc", 1)));  // unhandled code, wrong size
    EXPECT_TRUE(run(compressed(999, "abc")));
    for (uint32_t raw = 1; raw < PACKET_HEADER_SIZE; ++raw) EXPECT_FALSE(run(packet(30, "", raw))) << raw;
    EXPECT_FALSE(run(packet(30, "x", 0x7FFFFFFF)));  // announced size too large to accept
    EXPECT_TRUE(handler.calls.empty());
}

TEST_F(Dispatch, CompressedAnswerIsParsedAfterInflate) {
    exchg::OrderList list;
    for (int i = 0; i < 40; ++i) *list.add_orders() = validOrder();
    EXPECT_TRUE(run(compressed(FC_QRY_ORDERS, list.SerializeAsString())));
    ASSERT_EQ(handler.calls, std::vector<std::string>{"orders"});
    EXPECT_EQ(handler.lastListSize, 40u);
    EXPECT_TRUE(run(compressed(FC_QRY_ORDERS, "")));  // inflates to exactly 0 bytes
    EXPECT_EQ(handler.lastListSize, 0u);
}

TEST_F(Dispatch, EmptyPayloadParsesAsAnEmptyListButNotAsAnAnswer) {
    EXPECT_TRUE(run(packet(FC_QRY_ORDERS, "")));
    EXPECT_TRUE(run(packet(FC_QRY_TRADES, "")));
    EXPECT_TRUE(run(packet(FC_QRY_POSITION, "")));
    EXPECT_TRUE(run(packet(FC_QRY_ACCOUNT_INFO, "")));
    EXPECT_TRUE(run(packet(FC_CMD_ORDER_INSERT, "")));  // required fields missing
    EXPECT_TRUE(run(packet(FC_CMD_LOGIN, "")));
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"orders", "trades", "positions", "account", "unreadable 2",
                                                       "unreadable 1"}));
}

TEST_F(Dispatch, MalformedPayloadIsDroppedAndTheStreamGoesOn) {
    EXPECT_TRUE(run(packet(FC_QRY_ORDERS, "\xff\xff\xff")));
    exchg::AnsLogin login;
    login.set_result(0);
    login.set_message("");
    login.set_tradingdate(1);
    EXPECT_TRUE(run(packet(FC_CMD_LOGIN, login.SerializeAsString() + "\x01")));  // trailing garbage
    EXPECT_TRUE(run(packet(FC_CMD_LOGIN, login.SerializeAsString())));
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"unreadable 30", "unreadable 1", "login"}));
}

TEST_F(Dispatch, PushIdIsReportedAfterTheRecordForEveryMtype) {
    const std::string order = validOrder().SerializeAsString();
    EXPECT_TRUE(run(push(10, 60, order)));
    EXPECT_TRUE(run(push(7, 62, order)));            // unknown mtype: no record
    EXPECT_TRUE(run(push(8, 60, "not an order")));    // bad data: no record
    EXPECT_TRUE(run(push(9, 61, order)));             // an Order is not a Trade
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"order-push", "push-id", "push-id", "unreadable-push 8 60",
                                                       "push-id", "unreadable-push 9 61", "push-id"}));
    EXPECT_EQ(handler.pushIds, (std::vector<uint64_t>{10, 7, 8, 9}));
}

TEST_F(Dispatch, ScratchGivesBackALargeAnswerAndKeepsSmallOnes) {
    exchg::OrderList small;
    for (int i = 0; i < 40; ++i) *small.add_orders() = validOrder();
    exchg::OrderList large;
    for (int i = 0; i < 8000; ++i) *large.add_orders() = validOrder();  // beyond both keep limits
    EXPECT_TRUE(run(compressed(FC_QRY_ORDERS, small.SerializeAsString())));
    EXPECT_FALSE(scratch.trim());
    EXPECT_TRUE(run(compressed(FC_QRY_ORDERS, large.SerializeAsString())));
    EXPECT_TRUE(scratch.trim());
    EXPECT_EQ(scratch.orderList.orders_size(), 0);
    EXPECT_EQ(scratch.inflated.capacity(), std::string().capacity());
    EXPECT_FALSE(scratch.trim());  // nothing left to give back
    // The next large answer is parsed whole from the released scratch.
    EXPECT_TRUE(run(compressed(FC_QRY_ORDERS, large.SerializeAsString())));
    EXPECT_EQ(handler.lastListSize, 8000u);
}

}  // namespace
}  // namespace hvr
