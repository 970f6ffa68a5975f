#include "cli/SessionFacts.h"

#include <gtest/gtest.h>

namespace hvr::cli {
namespace {

tools::BookOrder update(const std::string& orderId, char state, uint32_t traded, uint32_t left) {
    tools::BookOrder o;
    o.orderId = orderId;
    o.state = state;
    o.volume = traded + left;
    o.traded = traded;
    o.left = left;
    return o;
}

tools::BookFill fill(const std::string& tradeId) {
    tools::BookFill f;
    f.tradeId = tradeId;
    f.volume = 1;
    return f;
}

TEST(SessionFacts, AnswersSettleTheirOwnInsertByTag) {
    SessionFacts f;
    f.noteInsertSent("t1");
    f.noteInsertSent("t2");
    EXPECT_TRUE(f.answersOutstanding());
    EXPECT_TRUE(f.noteInsertAnswered("t2", true, "12"));
    EXPECT_EQ(f.lastOrderId, "12");
    EXPECT_EQ(f.pendingInserts.count("t1"), 1u);
    EXPECT_TRUE(f.noteInsertAnswered("t1", false, ""));
    EXPECT_FALSE(f.answersOutstanding());
    EXPECT_EQ(f.acceptedOrders, 1u);
    EXPECT_EQ(f.refusedOrders, 1u);
    EXPECT_EQ(f.lastOrderId, "12");  // a refusal does not replace the last accepted order
}

TEST(SessionFacts, AnswerWithAnUnknownTagIsCountedAndSettlesNothing) {
    SessionFacts f;
    f.noteInsertSent("t1");
    EXPECT_FALSE(f.noteInsertAnswered("other", true, "3"));
    EXPECT_EQ(f.unmatchedAnswers, 1u);
    EXPECT_TRUE(f.answersOutstanding());
}

TEST(SessionFacts, RepeatedOrderUpdateOrTradeIsADuplicate) {
    SessionFacts f;
    EXPECT_TRUE(f.noteOrderPush(update("7", '3', 0, 1)));
    EXPECT_TRUE(f.noteOrderPush(update("7", '0', 1, 0)));
    EXPECT_FALSE(f.noteOrderPush(update("7", '3', 0, 1)));
    EXPECT_TRUE(f.noteOrderPush(update("8", '3', 0, 1)));  // same update of another order is new
    EXPECT_TRUE(f.noteTradePush(fill("100")));
    EXPECT_FALSE(f.noteTradePush(fill("100")));
    EXPECT_EQ(f.orderPushes, 4u);
    EXPECT_EQ(f.tradePushes, 2u);
    EXPECT_EQ(f.duplicatePushes, 2u);
    EXPECT_EQ(f.pushes(), 6u);
}

TEST(SessionFacts, OrderStatesKeepHistoryAndLatest) {
    SessionFacts f;
    EXPECT_FALSE(f.latestState("7").has_value());
    f.noteOrderPush(update("7", '3', 0, 2));
    f.noteOrderPush(update("7", '1', 1, 1));
    f.noteOrderPush(update("7", '5', 1, 0));
    EXPECT_EQ(f.latestState("7"), '5');
    EXPECT_TRUE(f.hasSeenState("7", '3'));
    EXPECT_FALSE(f.hasSeenState("7", '0'));
}

TEST(SessionFacts, CancelIsSettledByTheFinishingPushOfItsOrder) {
    SessionFacts f;
    f.noteCancelSent("7");
    f.noteCancelSent("9");
    f.noteOrderPush(update("9", '3', 0, 1));  // not final: still outstanding
    EXPECT_EQ(f.pendingCancels.size(), 2u);
    f.noteOrderPush(update("9", '5', 0, 1));
    ASSERT_EQ(f.pendingCancels.size(), 1u);
    EXPECT_EQ(f.noteCancelRefused(), "7");
}

TEST(SessionFacts, RefusedCancelSettlesTheOldestOutstanding) {
    SessionFacts f;
    f.noteCancelSent("7");
    f.noteCancelSent("9");
    EXPECT_EQ(f.noteCancelRefused(), "7");
    ASSERT_EQ(f.pendingCancels.size(), 1u);
    EXPECT_EQ(f.noteCancelRefused(), "9");
    EXPECT_EQ(f.noteCancelRefused(), "");  // an unexpected refusal does no harm
    EXPECT_FALSE(f.answersOutstanding());
}

}  // namespace
}  // namespace hvr::cli
