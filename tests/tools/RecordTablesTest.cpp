#include "cli/RecordTables.h"

#include <gtest/gtest.h>

#include "cli/RecordWords.h"
#include "common/SessionRecords.h"
#include "host/NXSRecords.h"

namespace hvr::cli {
namespace {

// An array that releases its records when the test ends.
struct OwnedArray {
    kra::NXSArray* array = kra::NXSArray::create();
    ~OwnedArray() { array->release(); }
};

using tools::copyArray;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

TEST(RecordTables, OrdersShowWordsForCodesAndConvertTheStateMessage) {
    OwnedArray orders;
    kra::NXSOrderInfo* o = kra::NXSOrderInfo::create();
    o->orderId = "12";
    o->code = "IF2412";
    o->direction = '1';
    o->offsetType = '3';
    o->price = 3500.2;
    o->volume = 3;
    o->tradedVolume = 1;
    o->leftVolume = 2;
    o->orderState = '1';
    o->priceType = '2';
    o->timeCondition = '1';
    o->stateMessage = "\xba\xcf\xd4\xbc";  // 合约 in GBK
    orders.array->append(o);

    // The copy the session keeps converts the GBK text.
    const std::vector<std::string> lines =
        linesOf(tableText(ordersRecords(copyArray<tools::OrderRecord, kra::NXSOrderInfo>(orders.array, tools::copyOrder))));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("OrderId", 0), 0u);
    EXPECT_NE(lines[2].find("sell"), std::string::npos);
    EXPECT_NE(lines[2].find("closetoday"), std::string::npos);
    EXPECT_NE(lines[2].find("3500.2"), std::string::npos);
    EXPECT_NE(lines[2].find("part filled, queuing"), std::string::npos);
    EXPECT_NE(lines[2].find("ioc"), std::string::npos);
    EXPECT_NE(lines[2].find("合约"), std::string::npos);
    // Right-aligned id under a right-aligned header of the same width.
    EXPECT_EQ(lines[2].substr(0, 7), "     12");
}

TEST(RecordTables, FundsAndPositionsFormatMoneyAndSides) {
    OwnedArray accounts;
    kra::NXSAccountInfo* a = kra::NXSAccountInfo::create();
    a->accountName = "demo";
    a->balance = 1000000;
    a->available = 873999.5;
    accounts.array->append(a);
    const std::string funds =
        tableText(fundsRecords(copyArray<tools::AccountRecord, kra::NXSAccountInfo>(accounts.array, tools::copyAccount)));
    EXPECT_NE(funds.find("1,000,000.00"), std::string::npos);
    EXPECT_NE(funds.find("873,999.50"), std::string::npos);

    OwnedArray positions;
    kra::NXSPositionItem* p = kra::NXSPositionItem::create("AU2412", "CNY");
    p->direction = '1';
    p->newVolume = 4;
    p->avgPrice = 480;
    positions.array->append(p);
    const std::vector<std::string> lines = linesOf(tableText(
        positionsRecords(copyArray<tools::PositionRecord, kra::NXSPositionItem>(positions.array, tools::copyPosition))));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("AU2412  short"), std::string::npos);
    EXPECT_NE(lines[2].find("480"), std::string::npos);
}

TEST(RecordTables, EmptyAnswerPrintsNone) {
    EXPECT_NE(tableText(tradesRecords({})).find("(none)"), std::string::npos);
}

TEST(RecordWords, PushLinesNameTheOrderStateAndTrade) {
    tools::OrderRecord o;
    o.orderId = "5";
    o.code = "CU2412";
    o.volume = 2;
    o.price = 70000;
    o.orderState = '5';
    o.leftVolume = 2;
    EXPECT_EQ(describeOrderPush(o), "order 5 CU2412 buy open 2 @ 70000: cancelled, traded 0, left 2");

    tools::TradeRecord t;
    t.code = "IF2412";
    t.tradeId = "9";
    t.orderId = "5";
    t.direction = '1';
    t.offsetType = '1';
    t.volume = 1;
    t.price = 3500;
    t.amount = 1050000;
    EXPECT_EQ(describeTradePush(t), "trade 9 of order 5 IF2412 sell close 1 @ 3500, amount 1,050,000.00");
}

}  // namespace
}  // namespace hvr::cli
