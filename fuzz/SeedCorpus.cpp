#include "SeedCorpus.h"

#include "net/WireFormat.h"
#include "tests/support/CompressedPacket.h"

namespace hvr_fuzz {

namespace {

std::string packetWith(uint16_t functionCode, const std::string& payload, uint32_t rawLength, uint32_t requestNo) {
    hvr::PacketHeader header;
    header.functionCode = functionCode;
    header.packetLength = static_cast<uint32_t>(hvr::PACKET_HEADER_SIZE + payload.size());
    header.rawLength = rawLength;
    header.requestNo = requestNo;
    uint8_t bytes[hvr::PACKET_HEADER_SIZE];
    hvr::encodeHeader(header, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes) + payload;
}

exchg::Order sampleOrder(const std::string& instrument, uint32_t orderId, exchg::OrderState status) {
    exchg::Order o;
    o.set_accountid(7001);
    o.set_orderid(orderId);
    o.set_instrument(instrument);
    o.set_price(-12345);
    o.set_qty(3);
    o.set_ordertype(exchg::OT_Normal);
    o.set_direct(exchg::DT_Short);
    o.set_pxtype(exchg::PT_LimitPrice);
    o.set_timecond(exchg::TC_ValidInDay);
    o.set_offset(exchg::OF_CloseToday);
    o.set_ordertime(1718000000123ULL);
    o.set_tradedvol(1);
    o.set_leftover(2);
    o.set_status(status);
    o.set_margin(150000);
    o.set_leftmargin(100000);
    o.set_commission(30);
    o.set_leftcommission(20);
    o.set_tradingdate(20240612);
    o.set_usertag("tag-" + std::to_string(orderId));
    o.set_statemsg("queued");
    return o;
}

exchg::Trade sampleTrade(const std::string& instrument, uint32_t tradeId) {
    exchg::Trade t;
    t.set_accountid(7001);
    t.set_tradeid(tradeId);
    t.set_orderid(4000000000U);
    t.set_instrument(instrument);
    t.set_price(735000000);
    t.set_qty(1);
    t.set_direct(exchg::DT_Long);
    t.set_offset(exchg::OF_Open);
    t.set_amount(3675000000ULL);
    t.set_commission(12);
    t.set_closeprofit(-500);
    t.set_tradetime(1718000001000ULL);
    t.set_tradingdate(20240612);
    t.set_ordertype(exchg::OT_Hedge);
    t.set_usertag("fill");
    return t;
}

exchg::Position samplePosition(const std::string& instrument, uint32_t newVolume, uint32_t preVolume) {
    exchg::Position p;
    p.set_accountid(7001);
    p.set_instrument(instrument);
    p.set_direct(exchg::DT_Long);
    p.set_newvolumn(newVolume);
    p.set_prevolumn(preVolume);
    p.set_availnewvol(newVolume);
    p.set_avaliprevol(preVolume);
    p.set_positioncost(0);
    p.set_margin(220000);
    p.set_amount(7350000000ULL);
    p.set_dynprofit(-1200);
    return p;
}

exchg::AccountInfo sampleAccount(const std::string& currency) {
    exchg::AccountInfo a;
    a.set_accountid(7001);
    a.set_balance(1000000000);
    a.set_prebalance(990000000);
    a.set_margin(220000);
    a.set_frozenmargin(0);
    a.set_closeprofit(-5000);
    a.set_deposit(0);
    a.set_withdraw(0);
    a.set_commission(42);
    a.set_frozencommission(0);
    a.set_available(-1);
    a.set_currency(currency);
    return a;
}

std::string loginAnswer(int32_t result, const std::string& message) {
    exchg::AnsLogin a;
    a.set_result(result);
    a.set_message(message);
    a.set_tradingdate(20240612);
    if (result == 0) a.set_sessionid(77);
    return a.SerializeAsString();
}

std::string orderInsertAnswer(int32_t result) {
    exchg::AnsOrderInsert a;
    a.set_orderid(9001);
    a.set_result(result);
    a.set_instrument("CU2409");
    a.set_price(735000000);
    a.set_qty(2);
    a.set_direct(exchg::DT_Long);
    a.set_offset(exchg::OF_Open);
    a.set_pxtype(exchg::PT_AnyPrice);
    a.set_timecond(exchg::TC_ImmediateOrCancel);
    a.set_usertag("u1");
    if (result != 0) a.set_message("\xd7\xca\xbd\xf0\xb2\xbb\xd7\xe3");  // GBK text
    return a.SerializeAsString();
}

std::string orderCancelAnswer(int32_t result) {
    exchg::AnsOrderCancel a;
    a.set_orderid(9001);
    a.set_result(result);
    a.set_message(result == 0 ? "" : "refused");
    a.set_usertag("u1");
    return a.SerializeAsString();
}

std::string orderList(int count) {
    exchg::OrderList list;
    for (int i = 0; i < count; ++i) {
        *list.add_orders() = sampleOrder(i % 2 ? "IF2409" : "CU2409", 100 + i,
                                         static_cast<exchg::OrderState>(i % 7));
    }
    return list.SerializeAsString();
}

std::string tradeList(int count) {
    exchg::TradeList list;
    for (int i = 0; i < count; ++i) *list.add_trades() = sampleTrade("CU2409", 500 + i);
    return list.SerializeAsString();
}

// Six entries, four kept: an unknown contract and a zero volume are left out;
// a zero multiplier and a contract without a product are kept.
constexpr int MIXED_POSITIONS_KEPT = 4;
std::string mixedPositions() {
    exchg::PositionList list;
    *list.add_positions() = samplePosition("CU2409", 2, 1);
    *list.add_positions() = samplePosition("ZERO01", 1, 0);
    *list.add_positions() = samplePosition("NOPROD1", 0, 3);
    *list.add_positions() = samplePosition("USD01", 4, 0);
    *list.add_positions() = samplePosition("UNKNOWN9", 5, 5);
    *list.add_positions() = samplePosition("IF2409", 0, 0);
    return list.SerializeAsString();
}

std::string accountAnswer(int count) {
    exchg::AnsAccountInfo answer;
    for (int i = 0; i < count; ++i) *answer.add_accinfos() = sampleAccount(i == 0 ? "CNY" : "USD");
    return answer.SerializeAsString();
}

std::string pushMessage(uint64_t pushId, uint32_t mtype, const std::string& data) {
    exchg::PushMessage push;
    push.set_pushid(pushId);
    push.set_mtype(mtype);
    push.set_data(data);
    return push.SerializeAsString();
}

std::string notifyMessage() {
    exchg::NotifyMessage n;
    n.set_time(1718000002000ULL);
    n.set_mtype(1);
    n.set_title("notice");
    n.set_content("market closes early");
    return n.SerializeAsString();
}

// Counts of one handler call of the given kind, with its records and errors.
HandledCounts one(int HandledCounts::*call, int records = 0, int errors = 0) {
    HandledCounts c;
    c.*call = 1;
    c.records = records;
    c.errors = errors;
    return c;
}

HandledCounts push(int HandledCounts::*call) {
    HandledCounts c;
    if (call != nullptr) {
        c.*call = 1;
        c.records = 1;
    }
    c.pushesHandled = 1;
    return c;
}

HandledCounts unreadablePush() {
    HandledCounts c = push(nullptr);
    c.unreadablePushes = 1;
    return c;
}

}  // namespace

std::string serverPacket(uint16_t functionCode, const std::string& payload, uint32_t requestNo) {
    return packetWith(functionCode, payload, 0, requestNo);
}

std::string compressedServerPacket(uint16_t functionCode, const std::string& payload, uint32_t requestNo) {
    return hvr::test::compressedPacket(functionCode, payload, requestNo, Z_BEST_COMPRESSION);
}

std::vector<Seed> seedCorpus() {
    using C = HandledCounts;
    const HandledCounts none;
    std::vector<Seed> seeds = {
        {"login_ok", serverPacket(hvr::FC_CMD_LOGIN, loginAnswer(0, ""), 1), one(&C::logins)},
        {"login_refused", serverPacket(hvr::FC_CMD_LOGIN, loginAnswer(-21, "wrong password"), 1), one(&C::logins)},
        {"order_insert_ok", serverPacket(hvr::FC_CMD_ORDER_INSERT, orderInsertAnswer(0), 2), one(&C::orderInserts, 1)},
        {"order_insert_refused", serverPacket(hvr::FC_CMD_ORDER_INSERT, orderInsertAnswer(-4), 2),
         one(&C::orderInserts, 1, 1)},
        {"cancel_ok", serverPacket(hvr::FC_CMD_ORDER_CANCEL, orderCancelAnswer(0), 3), one(&C::orderCancels)},
        {"cancel_refused", serverPacket(hvr::FC_CMD_ORDER_CANCEL, orderCancelAnswer(-27), 3),
         one(&C::orderCancels, 0, 1)},
        {"cancel_unknown_code", serverPacket(hvr::FC_CMD_ORDER_CANCEL, orderCancelAnswer(-12345), 3),
         one(&C::orderCancels, 0, 1)},
        {"orders_empty", serverPacket(hvr::FC_QRY_ORDERS, orderList(0), 4), one(&C::orderLists)},
        {"orders_seven", serverPacket(hvr::FC_QRY_ORDERS, orderList(7), 4), one(&C::orderLists, 7)},
        {"trades_empty", serverPacket(hvr::FC_QRY_TRADES, tradeList(0), 5), one(&C::tradeLists)},
        {"trades_two", serverPacket(hvr::FC_QRY_TRADES, tradeList(2), 5), one(&C::tradeLists, 2)},
        {"positions_empty", serverPacket(hvr::FC_QRY_POSITION, "", 6), one(&C::positionLists)},
        {"positions_mixed", serverPacket(hvr::FC_QRY_POSITION, mixedPositions(), 6),
         one(&C::positionLists, MIXED_POSITIONS_KEPT)},
        {"account_empty", serverPacket(hvr::FC_QRY_ACCOUNT_INFO, accountAnswer(0), 7), one(&C::accountInfos)},
        {"account_two", serverPacket(hvr::FC_QRY_ACCOUNT_INFO, accountAnswer(2), 7), one(&C::accountInfos, 2)},
        {"push_order",
         serverPacket(hvr::FC_PUSH_MESSAGE,
                      pushMessage(11, hvr::FC_PUSH_ORDER, sampleOrder("CU2409", 9001, exchg::OS_PartTradedQueuing)
                                                              .SerializeAsString())),
         push(&C::orderPushes)},
        {"push_trade",
         serverPacket(hvr::FC_PUSH_MESSAGE,
                      pushMessage(12, hvr::FC_PUSH_TRADE, sampleTrade("IF2409", 77).SerializeAsString())),
         push(&C::tradePushes)},
        {"push_notify", serverPacket(hvr::FC_PUSH_MESSAGE, pushMessage(13, hvr::FC_PUSH_NOTIFY, notifyMessage())),
         push(nullptr)},
        {"push_order_unparsable", serverPacket(hvr::FC_PUSH_MESSAGE, pushMessage(14, hvr::FC_PUSH_ORDER, "\x08")),
         unreadablePush()},
        {"order_insert_unparsable", serverPacket(hvr::FC_CMD_ORDER_INSERT, "", 2), one(&C::unreadableAnswers)},
        {"compressed_orders", compressedServerPacket(hvr::FC_QRY_ORDERS, orderList(3), 8), one(&C::orderLists, 3)},
        {"compressed_positions", compressedServerPacket(hvr::FC_QRY_POSITION, mixedPositions(), 8),
         one(&C::positionLists, MIXED_POSITIONS_KEPT)},
        {"compressed_empty", compressedServerPacket(hvr::FC_QRY_TRADES, "", 8), one(&C::tradeLists)},
        {"heartbeat", serverPacket(hvr::FC_HEART_BEAT, ""), none},
        {"heartbeat2", serverPacket(hvr::FC_HEART_BEAT2, ""), none},
        {"logout", serverPacket(hvr::FC_CMD_LOGOUT, "", 9), none},
        {"unknown_instruments", serverPacket(36, "\x0a\x02\x08\x01", 10), none},
        {"unknown_code_zero", serverPacket(0, "\x01\x02\x03"), none},
        {"unknown_code_max", serverPacket(0xFFFF, std::string(40, '\xAB')), none},
    };

    // Several packets in one stream, as a busy session receives them.
    Seed session{"stream_session", "", none};
    for (const char* name : {"login_ok", "account_two", "positions_mixed", "push_order", "heartbeat",
                             "compressed_orders", "cancel_refused", "push_trade", "logout"}) {
        for (const Seed& s : seeds) {
            if (s.name == name) {
                session.stream += s.stream;
                session.expected += s.expected;
            }
        }
    }
    seeds.push_back(session);

    // A stream that ends inside a packet: the tail waits in the buffer.
    const std::string tail = serverPacket(hvr::FC_QRY_ORDERS, orderList(2), 4).substr(0, 40);
    seeds.push_back({"stream_incomplete_tail", serverPacket(hvr::FC_CMD_LOGIN, loginAnswer(0, ""), 1) + tail,
                     one(&C::logins), tail.size()});
    const std::string shortTail = serverPacket(hvr::FC_HEART_BEAT, "").substr(0, 9);
    seeds.push_back({"stream_short_tail", serverPacket(hvr::FC_HEART_BEAT, "") + shortTail, none, shortTail.size()});
    return seeds;
}

}  // namespace hvr_fuzz
