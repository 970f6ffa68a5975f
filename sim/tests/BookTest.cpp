// The book: order validation, matching, funds and positions, cancel paths,
// push ids. Money is checked against sums worked out by hand for XY
// (multiplier 10, margin 10%, commission 0.1%, start balance 100000).
#include <algorithm>
#include <map>
#include <random>

#include "BookFixture.h"

namespace hvr::sim::testing {
namespace {

constexpr int64_t START = 100000 * FIXED_SCALE;

using BookValidation = BookFixture;

TEST_F(BookValidation, RefusalsCarryTheirCodeAndMessageAndCreateNoOrder) {
    struct Case {
        const char* what;
        bool loggedIn;
        exchg::ReqOrderInsert request;
        int expected;
    };
    exchg::ReqOrderInsert negativePrice = orderRequest("XY", 100, 1, exchg::DT_Long);
    negativePrice.set_price(static_cast<uint32_t>(int32_t{-1000000}));
    const Case cases[] = {
        {"not logged in", false, orderRequest("XY", 100, 1, exchg::DT_Long), exchg::EC_INVALID_ACCOUNT},
        {"unknown instrument", true, orderRequest("ZZ", 100, 1, exchg::DT_Long), exchg::EC_INVALID_CONTRACT},
        {"zero quantity", true, orderRequest("XY", 100, 0, exchg::DT_Long), exchg::EC_INVALID_QTY},
        {"off the tick", true, orderRequest("XY", 100.5, 1, exchg::DT_Long), exchg::EC_INVALID_PRICE},
        {"above the band", true, orderRequest("XY", 111, 1, exchg::DT_Long), exchg::EC_INVALID_PRICE},
        {"below the band", true, orderRequest("XY", 89, 1, exchg::DT_Short), exchg::EC_INVALID_PRICE},
        {"negative price", true, negativePrice, exchg::EC_INVALID_PRICE},
        {"margin above the money", true, orderRequest("XY", 100, 1001, exchg::DT_Long), exchg::EC_LACK_OF_MONEY},
        {"volume that would overflow", true, orderRequest("XY", 100, 0xFFFFFFFFu, exchg::DT_Long),
         exchg::EC_LACK_OF_MONEY},
        {"close with nothing held", true, orderRequest("XY", 100, 1, exchg::DT_Short, exchg::OF_Close),
         exchg::EC_LACK_OF_QTY},
        {"close-today with nothing held", true, orderRequest("XY", 100, 1, exchg::DT_Long, exchg::OF_CloseToday),
         exchg::EC_LACK_OF_QTY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Book::InsertOutcome out = book->insertOrder(c.loggedIn ? alice : 0, c.request);
        EXPECT_EQ(out.answer.result(), c.expected);
        EXPECT_FALSE(out.answer.message().empty());
        EXPECT_EQ(out.answer.orderid(), 0u);
        EXPECT_TRUE(out.pushes.empty());
        EXPECT_TRUE(out.answer.IsInitialized());
        EXPECT_EQ(out.answer.usertag(), c.request.usertag());
        EXPECT_EQ(out.answer.price(), c.request.price());
    }
    exchg::OrderList orders;
    book->listOrders(alice, orders);
    EXPECT_EQ(orders.orders_size(), 0);
    EXPECT_EQ(book->replayPushes(alice, PUSH_RESUME_ALL).size(), 0u);
    EXPECT_EQ(info(alice).available(), START);
}

TEST_F(BookValidation, PricesOnTheBandEdgesAreAccepted) {
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 110, 1, exchg::DT_Long)).answer.result(), 0);
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 90, 1, exchg::DT_Long)).answer.result(), 0);
}

TEST_F(BookValidation, MoneyCheckCountsMarginAndCommission) {
    // 1000 lots at 100: margin 100000 exactly, plus commission 1000: too much.
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 100, 1000, exchg::DT_Long)).answer.result(),
              exchg::EC_LACK_OF_MONEY);
    // 990 lots: margin 99000 + commission 990 fits.
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 100, 990, exchg::DT_Long)).answer.result(), 0);
}

using BookMatching = BookFixture;

TEST_F(BookMatching, CrossingLimitBuyFillsAtOnceAtTheLastPrice) {
    const Book::InsertOutcome out = book->insertOrder(alice, orderRequest("XY", 105, 2, exchg::DT_Long));
    ASSERT_EQ(out.answer.result(), 0);
    ASSERT_EQ(out.pushes.size(), 3u);
    const exchg::Order queued = orderOf(out.pushes[0]);
    const exchg::Trade trade = tradeOf(out.pushes[1]);
    const exchg::Order done = orderOf(out.pushes[2]);
    EXPECT_EQ(queued.status(), exchg::OS_NotTradedQueuing);
    EXPECT_EQ(queued.orderid(), out.answer.orderid());
    EXPECT_EQ(trade.price(), toFixed(100));
    EXPECT_EQ(trade.qty(), 2u);
    EXPECT_EQ(trade.orderid(), out.answer.orderid());
    EXPECT_EQ(trade.amount(), static_cast<uint64_t>(toFixed(2000)));  // 100 x 2 x 10
    EXPECT_EQ(trade.commission(), static_cast<uint64_t>(toFixed(2)));
    EXPECT_EQ(done.status(), exchg::OS_AllTraded);
    EXPECT_EQ(done.tradedvol(), 2u);
    EXPECT_EQ(done.leftover(), 0u);
    EXPECT_EQ(done.leftmargin(), 0u);
    EXPECT_EQ(done.ordertime(), NOW_MS);
    EXPECT_EQ(done.tradingdate(), 20241202u);
}

TEST_F(BookMatching, SellAtOrBelowLastFillsAndAboveRests) {
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Short)).pushes.size(), 3u);
    const Book::InsertOutcome resting = book->insertOrder(alice, orderRequest("XY", 101, 1, exchg::DT_Short));
    ASSERT_EQ(resting.pushes.size(), 1u);
    EXPECT_EQ(orderOf(resting.pushes[0]).status(), exchg::OS_NotTradedQueuing);
}

TEST_F(BookMatching, AnyPriceOrderFillsAtTheLastPrice) {
    const Book::InsertOutcome out = book->insertOrder(
        alice, orderRequest("XY", 0, 1, exchg::DT_Long, exchg::OF_Open, exchg::TC_ValidInDay, exchg::PT_AnyPrice));
    ASSERT_EQ(out.answer.result(), 0);
    ASSERT_EQ(out.pushes.size(), 3u);
    EXPECT_EQ(tradeOf(out.pushes[1]).price(), toFixed(100));
}

TEST_F(BookMatching, ImmediateOrCancelWithoutMatchIsCancelledLeavingNothingFrozen) {
    const Book::InsertOutcome out = book->insertOrder(
        alice, orderRequest("XY", 95, 1, exchg::DT_Long, exchg::OF_Open, exchg::TC_ImmediateOrCancel));
    ASSERT_EQ(out.answer.result(), 0);
    ASSERT_EQ(out.pushes.size(), 2u);
    EXPECT_EQ(orderOf(out.pushes[0]).status(), exchg::OS_NotTradedQueuing);
    const exchg::Order cancelled = orderOf(out.pushes[1]);
    EXPECT_EQ(cancelled.status(), exchg::OS_Canceled);
    EXPECT_EQ(cancelled.leftmargin(), 0u);
    EXPECT_EQ(info(alice).frozenmargin(), 0u);
    EXPECT_EQ(info(alice).available(), START);
}

TEST_F(BookMatching, PartialFillsSplitACrossingOrderIntoTwoTrades) {
    Book::Options options;
    options.partialFills = true;
    makeBook(options);
    const Book::InsertOutcome out = book->insertOrder(alice, orderRequest("XY", 100, 3, exchg::DT_Long));
    ASSERT_EQ(out.pushes.size(), 5u);
    EXPECT_EQ(tradeOf(out.pushes[1]).qty(), 1u);
    const exchg::Order part = orderOf(out.pushes[2]);
    EXPECT_EQ(part.status(), exchg::OS_PartTradedQueuing);
    EXPECT_EQ(part.leftover(), 2u);
    EXPECT_EQ(tradeOf(out.pushes[3]).qty(), 2u);
    EXPECT_NE(tradeOf(out.pushes[1]).tradeid(), tradeOf(out.pushes[3]).tradeid());
    EXPECT_EQ(orderOf(out.pushes[4]).status(), exchg::OS_AllTraded);
    EXPECT_EQ(positions(alice).positions(0).newvolumn(), 3u);

    // A single lot cannot be split.
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long)).pushes.size(), 3u);
}

TEST_F(BookMatching, LeftOutPushesAreStoredButNeitherNumberedNorReplayed) {
    FaultSettings settings;
    settings.leaveOutPushEvery = 2;
    Faults faults(settings);
    Book::Options options;
    options.faults = &faults;
    makeBook(options);
    // Pushes 1-3 of the first order and 4-6 of the second: 2, 4 and 6 are left out.
    const Book::InsertOutcome first = book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    const Book::InsertOutcome second = book->insertOrder(alice, orderRequest("XY", 100, 2, exchg::DT_Long));
    ASSERT_EQ(first.pushes.size(), 2u);
    EXPECT_EQ(orderOf(first.pushes[0]).status(), exchg::OS_NotTradedQueuing);
    EXPECT_EQ(orderOf(first.pushes[1]).status(), exchg::OS_AllTraded);  // the trade between was left out
    ASSERT_EQ(second.pushes.size(), 1u);
    EXPECT_EQ(tradeOf(second.pushes[0]).orderid(), second.answer.orderid());
    // Ids have no gaps, and a full replay holds only what was pushed.
    const std::vector<PushRecord> replay = book->replayPushes(alice, PUSH_RESUME_ALL);
    ASSERT_EQ(replay.size(), 3u);
    for (std::size_t i = 0; i < replay.size(); ++i) EXPECT_EQ(replay[i].pushId, i + 1);
    // The queries answer everything.
    exchg::TradeList trades;
    book->listTrades(alice, trades);
    EXPECT_EQ(trades.trades_size(), 2);
    EXPECT_EQ(book->order(second.answer.orderid())->status(), exchg::OS_AllTraded);
}

TEST_F(BookMatching, PriceMovingThroughARestingLimitFillsItAtTheNewLast) {
    const uint32_t buy = book->insertOrder(alice, orderRequest("XY", 99, 1, exchg::DT_Long)).answer.orderid();
    const uint32_t sell = book->insertOrder(bob, orderRequest("XY", 101, 1, exchg::DT_Short)).answer.orderid();
    EXPECT_TRUE(book->setLastPrice("XY", toFixed(99.5)).empty());

    const std::vector<PushRecord> pushes = book->setLastPrice("XY", toFixed(98));
    ASSERT_EQ(pushes.size(), 2u);
    EXPECT_EQ(tradeOf(pushes[0]).price(), toFixed(98));
    EXPECT_EQ(tradeOf(pushes[0]).orderid(), buy);
    EXPECT_EQ(pushes[0].accountId, alice);
    EXPECT_EQ(book->order(buy)->status(), exchg::OS_AllTraded);
    EXPECT_EQ(book->order(sell)->status(), exchg::OS_NotTradedQueuing);

    EXPECT_EQ(book->setLastPrice("XY", toFixed(102)).size(), 2u);
    EXPECT_EQ(book->order(sell)->status(), exchg::OS_AllTraded);
    EXPECT_TRUE(book->setLastPrice("NOPE", toFixed(1)).empty());
}

using BookFunds = BookFixture;

TEST_F(BookFunds, RestingOpenOrderFreezesMarginAndCommissionUntilCancelled) {
    const uint32_t id = book->insertOrder(alice, orderRequest("XY", 99, 2, exchg::DT_Long)).answer.orderid();
    exchg::AccountInfo frozen = info(alice);
    EXPECT_EQ(frozen.frozenmargin(), static_cast<uint64_t>(toFixed(198)));       // 99 x 2 x 10 x 10%
    EXPECT_EQ(frozen.frozencommission(), static_cast<uint64_t>(toFixed(1.98)));  // 1980 x 0.1%
    EXPECT_EQ(frozen.available(), START - toFixed(199.98));
    EXPECT_EQ(frozen.balance(), START);

    const Book::CancelOutcome cancel = book->cancelOrder(alice, id);
    ASSERT_EQ(cancel.answer.result(), 0);
    EXPECT_EQ(orderOf(cancel.pushes.at(0)).status(), exchg::OS_Canceled);
    const exchg::AccountInfo released = info(alice);
    EXPECT_EQ(released.frozenmargin(), 0u);
    EXPECT_EQ(released.frozencommission(), 0u);
    EXPECT_EQ(released.available(), START);
}

TEST_F(BookFunds, OpenFillMovesMoneyIntoPositionMarginAndCommission) {
    book->insertOrder(alice, orderRequest("XY", 100, 2, exchg::DT_Long));
    const exchg::AccountInfo a = info(alice);
    EXPECT_EQ(a.margin(), static_cast<uint64_t>(toFixed(200)));
    EXPECT_EQ(a.commission(), static_cast<uint64_t>(toFixed(2)));
    EXPECT_EQ(a.frozenmargin(), 0u);
    EXPECT_EQ(a.balance(), START - toFixed(2));
    EXPECT_EQ(a.available(), START - toFixed(202));
    EXPECT_EQ(a.currency(), "CNY");

    const exchg::PositionList list = positions(alice);
    ASSERT_EQ(list.positions_size(), 1);
    const exchg::Position& p = list.positions(0);
    EXPECT_EQ(p.direct(), exchg::DT_Long);
    EXPECT_EQ(p.newvolumn(), 2u);
    EXPECT_EQ(p.prevolumn(), 0u);
    EXPECT_EQ(p.availnewvol(), 2u);
    EXPECT_EQ(p.amount(), static_cast<uint64_t>(toFixed(2000)));
    EXPECT_EQ(p.margin(), static_cast<uint64_t>(toFixed(200)));
    EXPECT_EQ(p.positioncost(), static_cast<uint32_t>(toFixed(100)));
    EXPECT_EQ(p.dynprofit(), 0);
    EXPECT_EQ(info(bob).available(), START);
}

TEST_F(BookFunds, ClosingAboveTheOpenPriceBooksCloseProfitAndFlattens) {
    book->insertOrder(alice, orderRequest("XY", 100, 2, exchg::DT_Long));
    book->setLastPrice("XY", toFixed(110));
    EXPECT_EQ(info(alice).dynprofit(), toFixed(200));  // (110 - 100) x 2 x 10
    const Book::InsertOutcome close =
        book->insertOrder(alice, orderRequest("XY", 110, 2, exchg::DT_Short, exchg::OF_Close));
    ASSERT_EQ(close.answer.result(), 0);
    EXPECT_EQ(tradeOf(close.pushes.at(1)).closeprofit(), toFixed(200));

    const exchg::AccountInfo a = info(alice);
    EXPECT_EQ(a.closeprofit(), toFixed(200));
    EXPECT_EQ(a.commission(), static_cast<uint64_t>(toFixed(4.2)));  // 2 on open + 2.2 on close
    EXPECT_EQ(a.margin(), 0u);
    EXPECT_EQ(a.dynprofit(), 0);
    EXPECT_EQ(a.balance(), START + toFixed(200 - 4.2));
    EXPECT_EQ(a.available(), a.balance());
    EXPECT_EQ(positions(alice).positions_size(), 0);
}

TEST_F(BookFunds, ShortPositionGainsWhenThePriceFallsAndLosesOnCloseAbove) {
    book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Short));
    book->setLastPrice("XY", toFixed(95));
    EXPECT_EQ(positions(alice).positions(0).dynprofit(), toFixed(50));
    EXPECT_EQ(info(alice).balance(), START - toFixed(1) + toFixed(50));

    book->setLastPrice("XY", toFixed(104));
    const Book::InsertOutcome close =
        book->insertOrder(alice, orderRequest("XY", 104, 1, exchg::DT_Long, exchg::OF_CloseToday));
    ASSERT_EQ(close.answer.result(), 0);
    EXPECT_EQ(info(alice).closeprofit(), toFixed(-40));
}

TEST_F(BookFunds, PartialCloseReleasesAProportionalShareOfCostAndMargin) {
    book->insertOrder(alice, orderRequest("XY", 100, 3, exchg::DT_Long));
    book->setLastPrice("XY", toFixed(102));
    book->insertOrder(alice, orderRequest("XY", 102, 1, exchg::DT_Long));  // 4 held, cost 4020
    book->insertOrder(alice, orderRequest("XY", 102, 1, exchg::DT_Short, exchg::OF_Close));
    const exchg::Position p = positions(alice).positions(0);
    EXPECT_EQ(p.newvolumn(), 3u);
    EXPECT_EQ(p.amount(), static_cast<uint64_t>(toFixed(3015)));  // 4020 x 3/4
    EXPECT_EQ(p.margin(), static_cast<uint64_t>(toFixed(301.5)));
    EXPECT_EQ(info(alice).closeprofit(), toFixed(15));  // 1020 - 1005
}

TEST_F(BookFunds, RestingCloseOrderHoldsBackItsVolume) {
    book->insertOrder(alice, orderRequest("XY", 100, 3, exchg::DT_Long));
    const uint32_t close =
        book->insertOrder(alice, orderRequest("XY", 105, 2, exchg::DT_Short, exchg::OF_Close)).answer.orderid();
    EXPECT_EQ(book->order(close)->status(), exchg::OS_NotTradedQueuing);
    EXPECT_EQ(positions(alice).positions(0).availnewvol(), 1u);
    EXPECT_EQ(info(alice).frozenmargin(), 0u);  // closing freezes no margin
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 105, 2, exchg::DT_Short, exchg::OF_Close)).answer.result(),
              exchg::EC_LACK_OF_QTY);
    book->cancelOrder(alice, close);
    EXPECT_EQ(positions(alice).positions(0).availnewvol(), 3u);
}

// The frozen money and the volume held back are running sums. After every
// step of a seeded random day of opens, closes, immediate-or-cancel orders,
// cancels and price moves, they must equal a count from scratch over the
// orders that rest.
TEST_F(BookFunds, RunningSumsMatchACountFromScratchThroughARandomDay) {
    std::mt19937 random(20241202);
    auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    int last = 100;
    for (int step = 0; step < 2000; ++step) {
        const uint32_t account = pick(0, 1) ? alice : bob;
        const auto direct = pick(0, 1) ? exchg::DT_Long : exchg::DT_Short;
        const int action = pick(0, 9);
        if (action < 5) {
            const auto offset = action < 2 ? exchg::OF_Open : action < 4 ? exchg::OF_Close : exchg::OF_CloseToday;
            const auto timecond = pick(0, 5) == 0 ? exchg::TC_ImmediateOrCancel : exchg::TC_ValidInDay;
            book->insertOrder(account, orderRequest("XY", last + pick(-4, 4), pick(1, 3), direct, offset, timecond));
        } else if (action < 8) {
            book->cancelOrder(account, static_cast<uint32_t>(pick(1, step + 1)));
        } else {
            last = std::clamp(last + pick(-3, 3), 92, 108);
            book->setLastPrice("XY", toFixed(last));
        }

        for (const uint32_t id : {alice, bob}) {
            SCOPED_TRACE("step " + std::to_string(step) + ", account " + std::to_string(id));
            exchg::OrderList orders;
            book->listOrders(id, orders);
            uint64_t frozenMargin = 0, frozenCommission = 0;
            std::map<exchg::DirectionType, uint32_t> heldBack;  // by the side a close reduces
            for (const exchg::Order& o : orders.orders()) {
                if (o.status() != exchg::OS_NotTradedQueuing && o.status() != exchg::OS_PartTradedQueuing) continue;
                frozenMargin += o.leftmargin();
                frozenCommission += o.leftcommission();
                if (o.offset() != exchg::OF_Open) heldBack[closedSide(o.direct())] += o.leftover();
            }
            EXPECT_EQ(info(id).frozenmargin(), frozenMargin);
            EXPECT_EQ(info(id).frozencommission(), frozenCommission);
            const exchg::PositionList held = positions(id);
            for (const exchg::Position& p : held.positions()) {
                EXPECT_EQ(p.prevolumn(), 0u);  // a day starts flat
                EXPECT_EQ(p.availnewvol(), p.newvolumn() - heldBack[p.direct()]);
            }
        }
        if (HasFailure()) break;
    }
}

using BookCancel = BookFixture;

TEST_F(BookCancel, RefusesUnknownForeignAndFinishedOrders) {
    const uint32_t filled = book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long)).answer.orderid();
    const uint32_t resting = book->insertOrder(alice, orderRequest("XY", 95, 1, exchg::DT_Long)).answer.orderid();

    Book::CancelOutcome unknown = book->cancelOrder(alice, 999);
    EXPECT_EQ(unknown.answer.result(), exchg::EC_INVALID_ORDER);
    EXPECT_EQ(unknown.answer.usertag(), "");
    EXPECT_EQ(book->cancelOrder(bob, resting).answer.result(), exchg::EC_INVALID_ORDER);
    EXPECT_EQ(book->cancelOrder(0, resting).answer.result(), exchg::EC_INVALID_ACCOUNT);

    Book::CancelOutcome done = book->cancelOrder(alice, filled);
    EXPECT_EQ(done.answer.result(), exchg::EC_INVALID_ORDERSTATE);
    EXPECT_EQ(done.answer.usertag(), "u1");
    EXPECT_TRUE(done.pushes.empty());

    EXPECT_EQ(book->cancelOrder(alice, resting).answer.result(), 0);
    Book::CancelOutcome twice = book->cancelOrder(alice, resting);
    EXPECT_EQ(twice.answer.result(), exchg::EC_INVALID_ORDERSTATE);
    EXPECT_FALSE(twice.answer.message().empty());
    EXPECT_TRUE(twice.answer.IsInitialized());
}

TEST_F(BookCancel, CancelledOrderNoLongerFillsWhenThePriceMoves) {
    const uint32_t id = book->insertOrder(alice, orderRequest("XY", 95, 1, exchg::DT_Long)).answer.orderid();
    book->cancelOrder(alice, id);
    EXPECT_TRUE(book->setLastPrice("XY", toFixed(94)).empty());
    EXPECT_EQ(positions(alice).positions_size(), 0);
}

using BookPushes = BookFixture;

TEST_F(BookPushes, IdsCountFromOnePerAccount) {
    book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));  // 3 pushes
    book->insertOrder(bob, orderRequest("XY", 95, 1, exchg::DT_Long));     // 1 push
    const Book::InsertOutcome again = book->insertOrder(alice, orderRequest("XY", 95, 1, exchg::DT_Long));
    EXPECT_EQ(again.pushes.at(0).pushId, 4u);
    const std::vector<PushRecord> bobs = book->replayPushes(bob, PUSH_RESUME_ALL);
    ASSERT_EQ(bobs.size(), 1u);
    EXPECT_EQ(bobs[0].pushId, 1u);
}

TEST_F(BookPushes, ReplayHandsBackThePushesAfterTheRequestedId) {
    book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    EXPECT_EQ(book->replayPushes(alice, PUSH_RESUME_ALL).size(), 6u);
    EXPECT_TRUE(book->replayPushes(alice, PUSH_RESUME_NEW_ONLY).empty());
    const std::vector<PushRecord> tail = book->replayPushes(alice, 4);
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(tail[0].pushId, 5u);
    EXPECT_EQ(tradeOf(tail[0]).qty(), 1u);
}

TEST_F(BookPushes, EveryPushAndQueryAnswerCarriesItsRequiredFields) {
    book->insertOrder(alice, orderRequest("XY", 100, 2, exchg::DT_Long));
    book->insertOrder(alice, orderRequest("XY", 95, 1, exchg::DT_Long));
    for (const PushRecord& push : book->replayPushes(alice, PUSH_RESUME_ALL)) {
        if (push.mtype == 60) EXPECT_TRUE(orderOf(push).IsInitialized());
        else EXPECT_TRUE(tradeOf(push).IsInitialized());
    }
    exchg::OrderList orders;
    exchg::TradeList trades;
    book->listOrders(alice, orders);
    book->listTrades(alice, trades);
    EXPECT_EQ(orders.orders_size(), 2);
    EXPECT_EQ(trades.trades_size(), 1);
    EXPECT_TRUE(orders.IsInitialized());
    EXPECT_TRUE(trades.IsInitialized());
    EXPECT_TRUE(positions(alice).IsInitialized());
    exchg::AnsAccountInfo account;
    book->accountInfo(alice, account);
    EXPECT_TRUE(account.IsInitialized());
}

using BookLogin = BookFixture;

TEST_F(BookLogin, AuthenticatesOnlyTheRightDigestOfAKnownUser) {
    EXPECT_NE(alice, 0u);
    EXPECT_NE(alice, bob);
    EXPECT_EQ(book->authenticate("alice", "bob-digest"), 0u);
    EXPECT_EQ(book->authenticate("carol", "alice-digest"), 0u);
    EXPECT_EQ(book->authenticate("alice", ""), 0u);
}

TEST_F(BookLogin, SessionIdsIncrease) {
    const uint32_t first = book->issueSessionId();
    EXPECT_GT(book->issueSessionId(), first);
}

}  // namespace
}  // namespace hvr::sim::testing
