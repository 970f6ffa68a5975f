// Protocol messages to host records: scaling, codes, ids and the position
// rules.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>

#include "host/SimpleContractCatalog.h"
#include "records/Conversions.h"

namespace hvr {
namespace {

exchg::AnsOrderInsert sampleEntrustAnswer() {
    exchg::AnsOrderInsert answer;
    answer.set_orderid(57);
    answer.set_result(0);
    answer.set_instrument("IF2412");
    answer.set_price(123456);
    answer.set_qty(2);
    answer.set_direct(exchg::DT_Long);
    answer.set_offset(exchg::OF_Close);
    answer.set_pxtype(exchg::PT_LimitPrice);
    answer.set_timecond(exchg::TC_ImmediateOrCancel);
    answer.set_usertag("t1");
    return answer;
}

exchg::Order sampleOrder() {
    exchg::Order o;
    o.set_accountid(9);
    o.set_orderid(4294967295u);
    o.set_instrument("IF2412");
    o.set_price(123456);
    o.set_qty(5);
    o.set_ordertype(exchg::OT_Hedge);
    o.set_direct(exchg::DT_Short);
    o.set_pxtype(exchg::PT_AnyPrice);
    o.set_timecond(exchg::TC_ValidInSection);
    o.set_offset(exchg::OF_CloseToday);
    o.set_ordertime(12345);
    o.set_tradedvol(2);
    o.set_leftover(3);
    o.set_status(exchg::OS_Canceled);
    o.set_margin(1);
    o.set_leftmargin(1);
    o.set_commission(1);
    o.set_leftcommission(1);
    o.set_tradingdate(20261207);
    o.set_usertag("mine");
    o.set_statemsg("done");
    return o;
}

exchg::Trade sampleTrade() {
    exchg::Trade t;
    t.set_accountid(1);
    t.set_tradeid(77);
    t.set_orderid(57);
    t.set_instrument("AU2412");
    t.set_price(-5000);
    t.set_qty(4);
    t.set_direct(exchg::DT_Long);
    t.set_offset(exchg::OF_Open);
    t.set_amount(18446744073709551615ULL);
    t.set_commission(3);
    t.set_closeprofit(-2);
    t.set_tradetime(1700000000456ULL);
    t.set_tradingdate(20261207);
    t.set_ordertype(exchg::OT_Exception);
    t.set_usertag("fill");
    return t;
}

TEST(Conversions, OrderFromAPushAndFromAListDifferOnlyInTheTime) {
    kra::NXSOrderInfo* pushed = makeOrderInfo(sampleOrder(), RecordSource::Push);
    kra::NXSOrderInfo* listed = makeOrderInfo(sampleOrder(), RecordSource::List);
    EXPECT_EQ(pushed->orderTime, 12u);
    EXPECT_EQ(listed->orderTime, 12345u);
    for (kra::NXSOrderInfo* o : {pushed, listed}) {
        EXPECT_EQ(o->code, "IF2412");
        EXPECT_TRUE(o->exchange.empty());
        EXPECT_DOUBLE_EQ(o->price, 12.3456);
        EXPECT_EQ(o->volume, 5u);
        EXPECT_EQ(o->direction, static_cast<kra::NXSCode>('1'));
        EXPECT_EQ(o->priceType, static_cast<kra::NXSCode>('1'));
        EXPECT_EQ(o->timeCondition, static_cast<kra::NXSCode>('2'));
        EXPECT_EQ(o->offsetType, static_cast<kra::NXSCode>('3'));
        EXPECT_EQ(o->entrustId, "4294967295");
        EXPECT_EQ(o->orderId, "4294967295");
        EXPECT_EQ(o->userTag, "mine");
        EXPECT_EQ(o->tradingDate, 20261207u);
        EXPECT_EQ(o->tradedVolume, 2u);
        EXPECT_EQ(o->leftVolume, 3u);
        EXPECT_EQ(o->orderState, static_cast<kra::NXSCode>('5'));
        EXPECT_EQ(o->orderType, 2);
        EXPECT_EQ(o->stateMessage, "done");
        o->release();
    }
}

TEST(Conversions, NegativeOrderPriceStaysNegative) {
    exchg::Order o = sampleOrder();
    o.set_price(-5000);
    kra::NXSOrderInfo* info = makeOrderInfo(o, RecordSource::List);
    EXPECT_DOUBLE_EQ(info->price, -0.5);
    info->release();
}

TEST(Conversions, TradeUserTagOnlyFromPushesAndUnsignedAmountStaysPositive) {
    kra::NXSTradeInfo* pushed = makeTradeInfo(sampleTrade(), RecordSource::Push);
    kra::NXSTradeInfo* listed = makeTradeInfo(sampleTrade(), RecordSource::List);
    EXPECT_EQ(pushed->userTag, "fill");
    EXPECT_EQ(listed->userTag, "");
    for (kra::NXSTradeInfo* t : {pushed, listed}) {
        EXPECT_EQ(t->code, "AU2412");
        EXPECT_EQ(t->tradeId, "77");
        EXPECT_EQ(t->orderId, "57");
        EXPECT_EQ(t->tradeTime, 1700000000456ULL);  // never divided
        EXPECT_DOUBLE_EQ(t->price, -0.5);
        EXPECT_DOUBLE_EQ(t->amount, 1844674407370955.2);
        EXPECT_EQ(t->direction, static_cast<kra::NXSCode>('0'));
        EXPECT_EQ(t->offsetType, static_cast<kra::NXSCode>('0'));
        EXPECT_EQ(t->orderType, 1);
        EXPECT_EQ(t->tradeType, static_cast<kra::NXSCode>('0'));
        t->release();
    }
}

TEST(Conversions, AccountMoneyIsSignedOrUnsignedAsDeclared) {
    exchg::AnsAccountInfo answer;
    exchg::AccountInfo* a = answer.add_accinfos();
    a->set_accountid(1);
    a->set_balance(-1);
    a->set_prebalance(20000);
    a->set_margin(18446744073709551615ULL);
    a->set_frozenmargin(10000);
    a->set_closeprofit(-30000);
    a->set_deposit(50000);
    a->set_withdraw(60000);
    a->set_commission(70000);
    a->set_frozencommission(80000);
    a->set_available(-90000);
    a->set_dynprofit(-5);
    a->set_currency("USD");
    kra::NXSArray* array = convertAccounts(answer, "alice");
    ASSERT_EQ(array->count(), 1u);
    auto* info = array->itemAs<kra::NXSAccountInfo>(0);
    EXPECT_EQ(info->accountName, "alice");
    EXPECT_EQ(info->currency, "USD");
    EXPECT_DOUBLE_EQ(info->balance, -0.0001);
    EXPECT_DOUBLE_EQ(info->preBalance, 2.0);
    EXPECT_DOUBLE_EQ(info->margin, 1844674407370955.2);
    EXPECT_DOUBLE_EQ(info->frozenMargin, 1.0);
    EXPECT_DOUBLE_EQ(info->closeProfit, -3.0);
    EXPECT_DOUBLE_EQ(info->deposit, 5.0);
    EXPECT_DOUBLE_EQ(info->withdraw, 6.0);
    EXPECT_DOUBLE_EQ(info->commission, 7.0);
    EXPECT_DOUBLE_EQ(info->frozenCommission, 8.0);
    EXPECT_DOUBLE_EQ(info->available, -9.0);
    EXPECT_DOUBLE_EQ(info->dynProfit, -0.0005);
    array->release();
}

TEST(Conversions, CodesForEveryEnumValueIncludingUnknownOnes) {
    EXPECT_EQ(directionCode(exchg::DT_Long), static_cast<kra::NXSCode>('0'));
    EXPECT_EQ(directionCode(exchg::DT_Short), static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(directionCode(9), static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(priceTypeCode(exchg::PT_LimitPrice), static_cast<kra::NXSCode>('2'));
    EXPECT_EQ(priceTypeCode(0), static_cast<kra::NXSCode>('2'));
    EXPECT_EQ(timeConditionCode(exchg::TC_ValidInDay), static_cast<kra::NXSCode>('3'));
    EXPECT_EQ(timeConditionCode(exchg::TC_ImmediateOrCancel), static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(timeConditionCode(42), static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(offsetCode(exchg::OF_Close), static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(offsetCode(-7), static_cast<kra::NXSCode>('3'));
    for (int s = 0; s <= 6; ++s) EXPECT_EQ(orderStateCode(s), static_cast<kra::NXSCode>('0' + s));
    EXPECT_EQ(orderStateCode(99), static_cast<kra::NXSCode>('6'));
    EXPECT_EQ(orderTypeCode(exchg::OT_Normal), 0);
    EXPECT_EQ(orderTypeCode(exchg::OT_Counter), 2);
    EXPECT_EQ(orderTypeCode(-1), 2);
    EXPECT_EQ(decimalId(0), "0");
    EXPECT_EQ(decimalId(4294967295u), "4294967295");
}

TEST(Conversions, DecimalIdMatchesPrintfAtEveryDigitCount) {
    // Every power of ten and its neighbours: each digit-count boundary.
    for (uint64_t p = 1; p <= 1000000000u; p *= 10) {
        for (uint64_t near : {p - 1, p, p + 1}) {
            if (near > 4294967295u) continue;
            char expected[16];
            std::snprintf(expected, sizeof expected, "%u", static_cast<uint32_t>(near));
            EXPECT_EQ(decimalId(static_cast<uint32_t>(near)), expected);
        }
    }
}

exchg::Position position(const std::string& code, uint32_t pre, uint32_t fresh, uint64_t amount) {
    exchg::Position p;
    p.set_accountid(1);
    p.set_instrument(code);
    p.set_direct(exchg::DT_Short);
    p.set_prevolumn(pre);
    p.set_newvolumn(fresh);
    p.set_availnewvol(fresh);
    p.set_avaliprevol(pre);
    p.set_positioncost(1);
    p.set_margin(25000);
    p.set_amount(amount);
    p.set_dynprofit(-10000);
    return p;
}

TEST(Conversions, PositionsGoThroughTheCatalog) {
    kra::SimpleContractCatalog catalog;
    catalog.addInstrument("IF2412", 10, "CNY");
    catalog.addInstrument("ZERO", 0, "USD");
    kra::NXSContractInfo orphan;
    orphan.code = "ORPHAN";
    orphan.productCode = "nothing";
    catalog.addContract(orphan);

    exchg::PositionList list;
    *list.add_positions() = position("IF2412", 0, 7, 3000000);  // 300 / 7 / 10 = 4.2857...
    *list.add_positions() = position("UNKNOWN", 1, 1, 1);      // skipped: no contract
    *list.add_positions() = position("IF2412", 0, 0, 5);        // skipped: no volume
    *list.add_positions() = position("ZERO", 2, 0, 40000);      // multiplier 0: avgPrice 0
    *list.add_positions() = position("ORPHAN", 1, 0, 10000);    // contract without product: kept
    kra::NXSArray* array = convertPositions(list, &catalog);
    ASSERT_EQ(array->count(), 3u);
    auto* first = array->itemAs<kra::NXSPositionItem>(0);
    EXPECT_EQ(first->code, "IF2412");
    EXPECT_EQ(first->currency, "CNY");
    EXPECT_EQ(first->direction, static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(first->newVolume, 7u);
    EXPECT_EQ(first->availNewVolume, 7u);
    EXPECT_DOUBLE_EQ(first->totalCost, 300.0);
    EXPECT_DOUBLE_EQ(first->margin, 2.5);
    EXPECT_DOUBLE_EQ(first->avgPrice, 300.0 / 7.0 / 10.0);
    EXPECT_DOUBLE_EQ(first->dynProfit, -1.0);
    auto* zero = array->itemAs<kra::NXSPositionItem>(1);
    EXPECT_EQ(zero->currency, "USD");
    EXPECT_DOUBLE_EQ(zero->avgPrice, 0.0);
    auto* orphanItem = array->itemAs<kra::NXSPositionItem>(2);
    EXPECT_EQ(orphanItem->code, "ORPHAN");
    EXPECT_EQ(orphanItem->currency, "CNY");
    EXPECT_DOUBLE_EQ(orphanItem->avgPrice, 0.0);
    array->release();
}

TEST(Conversions, AveragePriceKeepsItsFractionAndItsRange) {
    kra::SimpleContractCatalog catalog;
    catalog.addInstrument("AU2412", 1000, "CNY");
    catalog.addInstrument("USD01", 10, "USD");
    exchg::PositionList list;
    // Two lots of AU2412 at 480.02: 960040 money units, 9600400000 on the wire.
    *list.add_positions() = position("AU2412", 0, 2, 9600400000ULL);
    *list.add_positions() = position("USD01", 0, 4, 18446744073709550416ULL);  // beyond 32 bits
    kra::NXSArray* array = convertPositions(list, &catalog);
    ASSERT_EQ(array->count(), 2u);
    EXPECT_DOUBLE_EQ(array->itemAs<kra::NXSPositionItem>(0)->avgPrice, 480.02);
    EXPECT_DOUBLE_EQ(array->itemAs<kra::NXSPositionItem>(1)->avgPrice, 18446744073709550416.0 / 10000.0 / 4.0 / 10.0);
    array->release();
}

TEST(Conversions, PositionsWithoutACatalogAreLeftOut) {
    exchg::PositionList list;
    *list.add_positions() = position("IF2412", 1, 1, 1);
    kra::NXSArray* array = convertPositions(list, nullptr);
    EXPECT_EQ(array->count(), 0u);
    array->release();
}

TEST(Conversions, EmptyListsGiveEmptyArrays) {
    kra::SimpleContractCatalog catalog;
    for (kra::NXSArray* array : {convertAccounts(exchg::AnsAccountInfo(), ""),
                                 convertPositions(exchg::PositionList(), &catalog),
                                 convertOrders(exchg::OrderList()), convertTrades(exchg::TradeList())}) {
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(array->count(), 0u);
        array->release();
    }
}

TEST(Conversions, EntrustAnswerCarriesTheServersOrderId) {
    exchg::AnsOrderInsert answer = sampleEntrustAnswer();
    kra::NXSEntrust* e = makeEntrustAnswer(answer);
    EXPECT_EQ(e->entrustId, "57");
    EXPECT_DOUBLE_EQ(e->price, 12.3456);
    EXPECT_EQ(e->volume, 2u);
    EXPECT_EQ(e->offsetType, static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(e->priceType, static_cast<kra::NXSCode>('2'));
    EXPECT_EQ(e->timeCondition, static_cast<kra::NXSCode>('1'));
    EXPECT_EQ(e->userTag, "t1");
    e->release();
    answer.set_price(0xFFFFFFFFu);  // read as unsigned
    e = makeEntrustAnswer(answer);
    EXPECT_DOUBLE_EQ(e->price, 429496.7295);
    e->release();
}

// A record as a host may leave it after its call: every field changed, texts
// longer than the inline storage. Filling it again must give what a new
// record gets.
const std::string SCRIBBLE = "scribbled by the host, longer than a short string";

void scribble(kra::NXSEntrust& e) {
    e.exchange = e.code = e.entrustId = e.userTag = SCRIBBLE;
    e.volume = 999;
    e.price = -1.5;
    e.direction = e.priceType = e.timeCondition = e.offsetType = 'z';
}

void scribble(kra::NXSOrderInfo& o) {
    scribble(static_cast<kra::NXSEntrust&>(o));
    o.tradingDate = 1;
    o.orderTime = 2;
    o.tradedVolume = o.leftVolume = 3;
    o.orderState = 'z';
    o.orderType = 77;
    o.orderId = o.stateMessage = SCRIBBLE;
}

void scribble(kra::NXSTradeInfo& t) {
    t.exchange = t.code = t.tradeId = t.orderId = t.userTag = SCRIBBLE;
    t.tradingDate = 1;
    t.tradeTime = 2;
    t.volume = 3;
    t.price = t.amount = -1.5;
    t.direction = t.offsetType = t.tradeType = 'z';
    t.orderType = 77;
}

void expectSameEntrust(const kra::NXSEntrust& a, const kra::NXSEntrust& b) {
    EXPECT_EQ(a.exchange, b.exchange);
    EXPECT_EQ(a.code, b.code);
    EXPECT_EQ(a.volume, b.volume);
    EXPECT_EQ(a.price, b.price);
    EXPECT_EQ(a.direction, b.direction);
    EXPECT_EQ(a.priceType, b.priceType);
    EXPECT_EQ(a.timeCondition, b.timeCondition);
    EXPECT_EQ(a.offsetType, b.offsetType);
    EXPECT_EQ(a.entrustId, b.entrustId);
    EXPECT_EQ(a.userTag, b.userTag);
}

TEST(Conversions, FillingAReusedRecordGivesWhatANewRecordGets) {
    exchg::AnsOrderInsert answer = sampleEntrustAnswer();
    kra::NXSEntrust* fresh = makeEntrustAnswer(answer);
    kra::NXSEntrust reused;
    scribble(reused);
    fillEntrustAnswer(answer, reused);
    expectSameEntrust(reused, *fresh);
    fresh->release();

    exchg::Order order = sampleOrder();
    order.clear_statemsg();  // an absent optional text empties the field too
    for (RecordSource source : {RecordSource::Push, RecordSource::List}) {
        kra::NXSOrderInfo* made = makeOrderInfo(order, source);
        kra::NXSOrderInfo again;
        scribble(again);
        fillOrderInfo(order, source, again);
        expectSameEntrust(again, *made);
        EXPECT_EQ(again.tradingDate, made->tradingDate);
        EXPECT_EQ(again.orderTime, made->orderTime);
        EXPECT_EQ(again.tradedVolume, made->tradedVolume);
        EXPECT_EQ(again.leftVolume, made->leftVolume);
        EXPECT_EQ(again.orderState, made->orderState);
        EXPECT_EQ(again.orderType, made->orderType);
        EXPECT_EQ(again.orderId, made->orderId);
        EXPECT_EQ(again.stateMessage, made->stateMessage);
        made->release();
    }

    for (RecordSource source : {RecordSource::Push, RecordSource::List}) {
        kra::NXSTradeInfo* made = makeTradeInfo(sampleTrade(), source);
        kra::NXSTradeInfo again;
        scribble(again);
        fillTradeInfo(sampleTrade(), source, again);
        EXPECT_EQ(again.exchange, made->exchange);
        EXPECT_EQ(again.code, made->code);
        EXPECT_EQ(again.tradeId, made->tradeId);
        EXPECT_EQ(again.orderId, made->orderId);
        EXPECT_EQ(again.userTag, made->userTag);  // empty from a list
        EXPECT_EQ(again.tradingDate, made->tradingDate);
        EXPECT_EQ(again.tradeTime, made->tradeTime);
        EXPECT_EQ(again.volume, made->volume);
        EXPECT_EQ(again.price, made->price);
        EXPECT_EQ(again.direction, made->direction);
        EXPECT_EQ(again.offsetType, made->offsetType);
        EXPECT_EQ(again.orderType, made->orderType);
        EXPECT_EQ(again.tradeType, made->tradeType);
        EXPECT_EQ(again.amount, made->amount);
        made->release();
    }
}

TEST(Conversions, TextsStopAtTheirFirstZeroByte) {
    exchg::Order order = sampleOrder();
    order.set_usertag(std::string("tag\0hidden", 10));
    kra::NXSOrderInfo info;
    fillOrderInfo(order, RecordSource::Push, info);
    EXPECT_EQ(info.userTag, "tag");
}

}  // namespace
}  // namespace hvr
