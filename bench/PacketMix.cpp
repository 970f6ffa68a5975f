#include "PacketMix.h"

#include "exchg.pb.h"
#include "net/WireFormat.h"
#include "tests/support/CompressedPacket.h"

namespace hvr::bench {

namespace {

const char* const INSTRUMENTS[] = {"IF2412", "AU2412", "CU2412"};
constexpr uint32_t TRADING_DATE = 20261207;
constexpr uint64_t DAY_START_MS = 1796601600000ULL;

std::string packet(uint16_t functionCode, const std::string& payload, uint32_t rawLength, uint32_t requestNo) {
    std::string out;
    appendPacket(out, functionCode, requestNo, payload.data(), payload.size(), rawLength);
    return out;
}

// A tag of exactly `length` characters (at least 8) ending in six digits.
std::string userTag(uint32_t n, std::size_t length) {
    const std::string digits = std::to_string(100000 + n % 900000);
    if (length == 13) return "strat1." + digits;
    std::string prefix = "strategy-momentum-long-horizon-basket";
    prefix.resize(length - digits.size() - 1, 'x');
    return prefix + "." + digits;
}

exchg::Order makeOrder(uint32_t n, std::size_t tagLength) {
    exchg::Order o;
    o.set_accountid(1001);
    o.set_orderid(5000000 + n);
    o.set_instrument(INSTRUMENTS[n % 3]);
    o.set_price(static_cast<int32_t>(35000000 + (n % 50) * 2000));
    const uint32_t qty = 1 + n % 5;
    const uint32_t traded = n % 2 == 0 ? qty : 0;
    o.set_qty(qty);
    o.set_ordertype(exchg::OT_Normal);
    o.set_direct(n % 2 == 0 ? exchg::DT_Long : exchg::DT_Short);
    o.set_pxtype(exchg::PT_LimitPrice);
    o.set_timecond(exchg::TC_ValidInDay);
    o.set_offset(n % 3 == 0 ? exchg::OF_Close : exchg::OF_Open);
    o.set_ordertime(DAY_START_MS + n * 37ULL);
    o.set_tradedvol(traded);
    o.set_leftover(qty - traded);
    o.set_status(traded == qty ? exchg::OS_AllTraded : exchg::OS_NotTradedQueuing);
    o.set_margin(1050000000ULL * qty);
    o.set_leftmargin(traded == qty ? 0 : 1050000000ULL * qty);
    o.set_commission(230000ULL * qty);
    o.set_leftcommission(0);
    o.set_tradingdate(TRADING_DATE);
    o.set_usertag(userTag(n, tagLength));
    return o;
}

exchg::Trade makeTrade(uint32_t n, std::size_t tagLength) {
    exchg::Trade t;
    t.set_accountid(1001);
    t.set_tradeid(7000000 + n);
    t.set_orderid(5000000 + n);
    t.set_instrument(INSTRUMENTS[n % 3]);
    t.set_price(static_cast<int32_t>(35000000 + (n % 50) * 2000));
    t.set_qty(1 + n % 5);
    t.set_direct(n % 2 == 0 ? exchg::DT_Long : exchg::DT_Short);
    t.set_offset(n % 3 == 0 ? exchg::OF_Close : exchg::OF_Open);
    t.set_amount(3500000000000ULL * (1 + n % 5));
    t.set_commission(230000ULL * (1 + n % 5));
    t.set_closeprofit(n % 3 == 0 ? 1200000 : 0);
    t.set_tradetime(DAY_START_MS + n * 37ULL);
    t.set_tradingdate(TRADING_DATE);
    t.set_ordertype(exchg::OT_Normal);
    t.set_usertag(userTag(n, tagLength));
    return t;
}

exchg::AnsOrderInsert makeInsertAnswer(uint32_t n, std::size_t tagLength) {
    exchg::AnsOrderInsert a;
    a.set_orderid(5000000 + n);
    a.set_result(0);
    a.set_instrument(INSTRUMENTS[n % 3]);
    a.set_price(35002000);
    a.set_qty(1);
    a.set_direct(exchg::DT_Long);
    a.set_offset(exchg::OF_Open);
    a.set_pxtype(exchg::PT_LimitPrice);
    a.set_timecond(exchg::TC_ValidInDay);
    a.set_usertag(userTag(n, tagLength));
    return a;
}

exchg::AnsAccountInfo makeAccountAnswer() {
    exchg::AnsAccountInfo a;
    exchg::AccountInfo* info = a.add_accinfos();
    info->set_accountid(1001);
    info->set_balance(10000000000000LL);
    info->set_prebalance(10000000000000LL);
    info->set_margin(105000000000ULL);
    info->set_frozenmargin(0);
    info->set_closeprofit(12000000);
    info->set_deposit(0);
    info->set_withdraw(0);
    info->set_commission(2300000);
    info->set_frozencommission(0);
    info->set_available(9894000000000LL);
    return a;
}

class MixBuilder {
public:
    MixBuilder(uint64_t firstPushId, std::size_t compressEvery)
        : pushId(firstPushId), compressEveryNthPush(compressEvery) {}

    void push(uint32_t mtype, const std::string& data) {
        exchg::PushMessage message;
        message.set_pushid(pushId++);
        message.set_mtype(mtype);
        message.set_data(data);
        ++mix.pushes;
        add(FC_PUSH_MESSAGE, message.SerializeAsString(),
            compressEveryNthPush != 0 && mix.pushes % compressEveryNthPush == 0);
    }

    void answer(uint16_t functionCode, const std::string& payload, bool compress) {
        add(functionCode, payload, compress);
        ++mix.answers;
    }

    PacketMix mix;

private:
    void add(uint16_t functionCode, const std::string& payload, bool compress) {
        const uint32_t number = functionCode == FC_PUSH_MESSAGE ? 0 : ++requestNo;  // pushes answer no request
        if (compress) {
            mix.stream += test::compressedPacket(functionCode, payload, number);
            ++mix.compressed;
        } else {
            mix.stream += packet(functionCode, payload, 0, number);
        }
        mix.payloads.push_back({functionCode, payload});
    }

    uint64_t pushId;
    const std::size_t compressEveryNthPush;
    uint32_t requestNo = 0;
};

}  // namespace

PacketMix buildPacketMix(std::size_t packets, uint64_t firstPushId, MixShape shape) {
    if (packets == 0 || packets % MIX_PERIOD != 0) throw std::invalid_argument("packets must be a multiple of 100");
    if (shape.tagLength < 8 || shape.tagLength > 64) throw std::invalid_argument("tag length out of range");
    const std::size_t tag = shape.tagLength;
    MixBuilder b(firstPushId, shape.compressEveryNthPush);
    uint32_t n = 0;
    for (std::size_t period = 0; period < packets / MIX_PERIOD; ++period) {
        // Pushes in the order a busy account sees them: an order, often its
        // fill right after it.
        for (std::size_t i = 0; i < MIX_ORDER_PUSHES; ++i) {
            ++n;
            b.push(FC_PUSH_ORDER, makeOrder(n, tag).SerializeAsString());
            if (i < MIX_TRADE_PUSHES) b.push(FC_PUSH_TRADE, makeTrade(n, tag).SerializeAsString());
        }
        if (!shape.withAnswers) continue;
        b.answer(FC_CMD_ORDER_INSERT, makeInsertAnswer(n, tag).SerializeAsString(), false);
        b.answer(FC_QRY_ACCOUNT_INFO, makeAccountAnswer().SerializeAsString(), false);
        exchg::TradeList trades;
        for (std::size_t i = 0; i < MIX_TRADE_LIST_SIZE; ++i)
            *trades.add_trades() = makeTrade(n - static_cast<uint32_t>(i), tag);
        b.answer(FC_QRY_TRADES, trades.SerializeAsString(), false);
        exchg::OrderList orders;
        for (std::size_t i = 0; i < MIX_ORDER_LIST_SIZE; ++i)
            *orders.add_orders() = makeOrder(n - static_cast<uint32_t>(i), tag);
        b.answer(FC_QRY_ORDERS, orders.SerializeAsString(), true);
    }
    return std::move(b.mix);
}

std::string largeOrderListPacket(std::size_t count) {
    exchg::OrderList orders;
    for (std::size_t i = 0; i < count; ++i) *orders.add_orders() = makeOrder(static_cast<uint32_t>(i + 1), 13);
    const std::string payload = orders.SerializeAsString();
    return test::compressedPacket(FC_QRY_ORDERS, payload, 1);
}

}  // namespace hvr::bench
