// The session core's rules without a module: which login goes out after a
// connect and after a refusal, a book per user, requests in doubt from the
// end of a connection to their resolution, a login's catch-up and the answer
// to the module's new-day warning.
#include "common/SessionState.h"

#include "host/ITraderListener.h"

#include <gtest/gtest.h>

namespace hvr::tools {
namespace {

const Credentials DEMO{"demo", "demo", "test"};
const Credentials BOB{"bob", "bob", "test"};
const SteadyTime T0;

template <typename Event>
std::vector<Event> eventsOf(const SessionStep& step) {
    std::vector<Event> found;
    for (const SessionEvent& e : step.events)
        if (const Event* event = std::get_if<Event>(&e)) found.push_back(*event);
    return found;
}

OrderRecord order(const std::string& id, const std::string& tag, char state, uint32_t traded = 0) {
    OrderRecord o;
    o.orderId = id;
    o.entrustId = id;
    o.userTag = tag;
    o.code = "IF2412";
    o.volume = 1;
    o.tradedVolume = traded;
    o.leftVolume = 1 - traded;
    o.orderState = static_cast<uint32_t>(state);
    return o;
}

EntrustRecord entrust(const std::string& tag, const std::string& orderId = {}) {
    EntrustRecord e;
    e.code = "IF2412";
    e.volume = 1;
    e.price = 3500;
    e.userTag = tag;
    e.entrustId = orderId;
    return e;
}

TradeRecord fill(const std::string& tradeId, const std::string& orderId) {
    TradeRecord t;
    t.tradeId = tradeId;
    t.orderId = orderId;
    t.code = "IF2412";
    t.direction = '0';
    t.offsetType = '0';
    t.volume = 1;
    return t;
}

// Connects and logs in with credentials already given; returns the step of
// the login answer (the login's reconciliation registered in it).
SessionStep logIn(SessionState& s, uint32_t date = 20261208) {
    s.connectionEvent(0, 0, T0);
    return s.loginResult(true, "", date, T0);
}

// Answers the reconciliation the step registered with the server's view.
SessionStep answerReconcile(SessionState& s, std::vector<OrderRecord> orders, std::vector<TradeRecord> trades = {}) {
    EXPECT_TRUE(s.ordersAnswer(std::move(orders)).events.empty());  // a reconciliation's answer is not shown
    return s.tradesAnswer(std::move(trades), T0);
}

TEST(SessionState, ARefusedLoginAfterAReconnectIsNeverSentAgain) {
    SessionState s;
    s.login(DEMO);
    ASSERT_TRUE(logIn(s).reconcile);
    s.connectionEvent(1, 104, T0);
    const SessionStep again = s.connectionEvent(0, 0, T0);
    ASSERT_TRUE(again.login);  // the proven credentials, by itself
    EXPECT_EQ(again.login->credentials, DEMO);
    const SessionStep refused = s.loginResult(false, "locked", 20261208, T0);
    const auto stopped = eventsOf<LoginRefusedEvent>(refused);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_TRUE(stopped[0].automatic);
    EXPECT_EQ(stopped[0].restoringUser, "");
    EXPECT_FALSE(refused.login);
    EXPECT_EQ(s.loginStatus(), LoginStatus::Refused);
    s.connectionEvent(1, 2, T0);
    EXPECT_FALSE(s.connectionEvent(0, 0, T0).login);  // nothing after the next connect either
}

TEST(SessionState, ARefusedSwitchLogsThePreviousUserInAgainAndTheRefusedOneNeverAgain) {
    SessionState s;
    s.login(DEMO);
    logIn(s);
    const LoginDecision toBob = s.login(BOB);
    ASSERT_EQ(toBob.kind, LoginDecision::Send);
    EXPECT_TRUE(toBob.step.login->logoutFirst);
    EXPECT_FALSE(s.loggedIn());  // nothing more goes out as demo
    const SessionStep refused = s.loginResult(false, "wrong password", 20261208, T0);
    ASSERT_TRUE(refused.login);
    EXPECT_EQ(refused.login->credentials, DEMO);
    EXPECT_EQ(eventsOf<LoginRefusedEvent>(refused).at(0).restoringUser, "demo");
    s.loginResult(true, "", 20261208, T0);
    EXPECT_EQ(s.user(), "demo");
    s.connectionEvent(1, 104, T0);
    EXPECT_EQ(s.connectionEvent(0, 0, T0).login->credentials, DEMO);

    // Refused with nobody logged in before: nobody will be, and bob is not
    // sent at the next connect.
    SessionState fresh;
    fresh.connectionEvent(0, 0, T0);
    ASSERT_EQ(fresh.login(BOB).kind, LoginDecision::Send);
    const SessionStep alone = fresh.loginResult(false, "wrong password", 0, T0);
    EXPECT_FALSE(alone.login);
    EXPECT_EQ(eventsOf<LoginRefusedEvent>(alone).at(0).restoringUser, "");
    fresh.connectionEvent(1, 2, T0);
    EXPECT_FALSE(fresh.connectionEvent(0, 0, T0).login);
}

TEST(SessionState, EachUserHasABookAndALastOrderOfItsOwn) {
    SessionState s;
    s.login(DEMO);
    logIn(s);
    answerReconcile(s, {});
    s.insertSent("t1", entrust("t1"));
    s.entrustAnswer(entrust("t1", "1"), false, 0, {});
    s.orderPush(order("1", "t1", '0', 1));
    s.tradePush(fill("1", "1"));
    EXPECT_EQ(s.lastOrderId(), "1");
    EXPECT_EQ(s.counts().duplicatePushes, 0u);

    s.login(BOB);
    const SessionStep bob = s.loginResult(true, "", 20261208, T0);
    ASSERT_TRUE(bob.reconcile);
    EXPECT_EQ(s.book().orderCount(), 0u);  // bob's book
    EXPECT_EQ(s.lastOrderId(), "");
    // Bob's server view has nothing: no difference with demo's order.
    const auto result = eventsOf<ReconciledEvent>(answerReconcile(s, {}));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].user, "bob");
    EXPECT_TRUE(result[0].result.differences.empty());

    s.login(DEMO);
    s.loginResult(true, "", 20261208, T0);
    EXPECT_EQ(s.book().orderCount(), 1u);
    EXPECT_EQ(s.book().fillCount(), 1u);
    EXPECT_EQ(s.lastOrderId(), "1");
}

TEST(SessionState, AnswersOfAQueryAskedBeforeASwitchGoToTheBookOfWhoAsked) {
    SessionState s(false);
    s.login(DEMO);
    logIn(s);
    const uint64_t id = s.startReconcile(false, T0);
    s.login(BOB);
    s.loginResult(true, "", 20261208, T0);
    const auto result = eventsOf<ReconciledEvent>(answerReconcile(s, {order("1", "t1", '3')}));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].result.id, id);
    EXPECT_EQ(result[0].user, "demo");
    EXPECT_EQ(s.book().orderCount(), 0u);  // bob's book untouched
}

TEST(SessionState, OrdersInDoubtAreResolvedOnceByTheNextLoginsReconciliation) {
    SessionState s(false);  // resolves even when reconciling after logins is off
    s.login(DEMO);
    logIn(s);
    s.insertSent("read", entrust("read"));
    s.insertSent("lost", entrust("lost"));
    s.insertSent("answered", entrust("answered"));
    s.entrustAnswer(entrust("answered", "1"), false, 0, {});
    s.orderPush(order("1", "answered", '3'));
    s.cancelSent("1");
    EXPECT_TRUE(s.answersAwaited());

    const SessionStep ended = s.connectionEvent(1, 104, T0);
    const auto cut = eventsOf<InDoubtEvent>(ended);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].doubts.size(), 3u);  // two orders and the cancel
    EXPECT_FALSE(s.answersAwaited());
    EXPECT_EQ(s.unanswered().doubts.size(), 3u);

    const SessionStep login = logIn(s);
    ASSERT_TRUE(login.reconcile);
    // The server has "read" and order 1 still queuing: the cancel never came.
    const SessionStep done = answerReconcile(s, {order("1", "answered", '3'), order("2", "read", '3')});
    const auto resolved = eventsOf<DoubtResolvedEvent>(done);
    ASSERT_EQ(resolved.size(), 3u);
    std::map<std::string, DoubtOutcome> outcomes;
    for (const DoubtResolvedEvent& r : resolved)
        outcomes[r.resolution.doubt.kind == Doubt::Kind::Order ? r.resolution.doubt.tag : "cancel"] = r.resolution.outcome;
    EXPECT_EQ(outcomes["read"], DoubtOutcome::Received);
    EXPECT_EQ(outcomes["lost"], DoubtOutcome::NeverReceived);
    EXPECT_EQ(outcomes["cancel"], DoubtOutcome::NeverReceived);
    EXPECT_TRUE(s.doubts().empty());
    // Once: the next reconciliation resolves nothing.
    s.startReconcile(false, T0);
    EXPECT_TRUE(eventsOf<DoubtResolvedEvent>(answerReconcile(s, {})).empty());
}

TEST(SessionState, ACancelInDoubtIsReceivedWhenItsOrderIsCancelled) {
    SessionState s;
    s.login(DEMO);
    logIn(s);
    answerReconcile(s, {});
    s.cancelSent("7");
    s.connectionEvent(1, 104, T0);
    logIn(s);
    const auto resolved = eventsOf<DoubtResolvedEvent>(answerReconcile(s, {order("7", "t7", '5')}));
    ASSERT_EQ(resolved.size(), 1u);
    EXPECT_EQ(resolved[0].resolution.outcome, DoubtOutcome::Received);
    EXPECT_EQ(describeOutcome(resolved[0].resolution), "received: order 7 is cancelled");
}

TEST(SessionState, AnAnswerThatStillComesResolvesItsDoubtAndAnInterruptedReconciliationResolvesNothing) {
    SessionState s;
    s.login(DEMO);
    logIn(s);
    answerReconcile(s, {});
    s.insertSent("late", entrust("late"));
    s.connectionEvent(1, 104, T0);
    logIn(s);
    s.connectionEvent(1, 104, T0);  // the login's reconciliation is cut off
    EXPECT_EQ(s.doubts().size(), 1u);
    logIn(s);
    const SessionStep answered = s.entrustAnswer(entrust("late"), true, 1, "not logged in");
    const auto resolved = eventsOf<DoubtResolvedEvent>(answered);
    ASSERT_EQ(resolved.size(), 1u);
    EXPECT_EQ(resolved[0].resolution.outcome, DoubtOutcome::NeverReceived);
    EXPECT_TRUE(resolved[0].resolution.byAnswer);
    EXPECT_EQ(s.counts().unmatchedAnswers, 0u);
    EXPECT_TRUE(eventsOf<DoubtResolvedEvent>(answerReconcile(s, {})).empty());
}

TEST(SessionState, APushOnceIsCountedOnceAndARefusedCancelNamesItsOrder) {
    SessionState s;
    s.login(DEMO);
    logIn(s);
    answerReconcile(s, {});
    EXPECT_FALSE(eventsOf<TradePushEvent>(s.tradePush(fill("1", "1"))).at(0).duplicate);
    EXPECT_TRUE(eventsOf<TradePushEvent>(s.tradePush(fill("1", "1"))).at(0).duplicate);
    EXPECT_EQ(s.counts().duplicatePushes, 1u);
    EXPECT_EQ(s.book().positions().at(0).opened, 1u);

    s.cancelSent("4");
    s.cancelSent("5");
    s.orderPush(order("4", "t4", '0', 1));  // order 4 filled first: its cancel is settled
    EXPECT_EQ(eventsOf<CancelRefusedEvent>(s.cancelRefused(-20, "gone")).at(0).orderId, "5");
    EXPECT_FALSE(s.answersAwaited());
}

TEST(SessionState, PushesBeforeTheFirstAnswerAfterALoginAreReplayedAndLaterOnesAreNot) {
    SessionState s;
    s.login(DEMO);
    logIn(s);
    EXPECT_TRUE(eventsOf<OrderPushEvent>(s.orderPush(order("1", "t1", '3'))).at(0).replayed);
    EXPECT_TRUE(eventsOf<TradePushEvent>(s.tradePush(fill("1", "1"))).at(0).replayed);
    s.ordersAnswer({order("1", "t1", '0', 1)});  // the reconciliation's first answer ends the catch-up
    EXPECT_FALSE(eventsOf<OrderPushEvent>(s.orderPush(order("2", "t2", '3'))).at(0).replayed);
    s.tradesAnswer({fill("1", "1")}, T0);

    // The next login catches up again; the end of the connection stops it.
    s.connectionEvent(1, 104, T0);
    logIn(s);
    EXPECT_TRUE(eventsOf<OrderPushEvent>(s.orderPush(order("2", "t2", '3'))).at(0).replayed);
    s.connectionEvent(1, 104, T0);
    EXPECT_FALSE(eventsOf<OrderPushEvent>(s.orderPush(order("3", "t3", '3'))).at(0).replayed);
}

TEST(SessionState, WithoutReconciliationAFundsQueryOfNobodyEndsTheCatchUp) {
    SessionState s(false);
    s.login(DEMO);
    const SessionStep step = logIn(s);
    EXPECT_FALSE(step.reconcile);
    ASSERT_TRUE(step.catchUpMarker);
    EXPECT_FALSE(s.answersAwaited());  // nobody waits for it
    EXPECT_TRUE(eventsOf<OrderPushEvent>(s.orderPush(order("1", "t1", '3'))).at(0).replayed);
    EXPECT_TRUE(s.accountsAnswer({AccountRecord{}}).events.empty());  // shown to nobody
    EXPECT_FALSE(eventsOf<OrderPushEvent>(s.orderPush(order("1", "t1", '0', 1))).at(0).replayed);
    s.querySent(QueryKind::Account);  // the host's own funds query is shown as usual
    EXPECT_EQ(eventsOf<AccountsEvent>(s.accountsAnswer({AccountRecord{}})).size(), 1u);
}

TEST(SessionState, ANewDayWarningIsAnsweredOnceByTheReconciliationAfterItsLogin) {
    const std::string warning = "[TraderHVR]交易日已变更:流水记录为20261208,本次登录为20261209,从推送号3续传;"
                                "按交易日编号推送的服务器可能跳过新交易日的前3条推送";
    ASSERT_TRUE(isNewTradingDayWarning(warning));
    SessionState s(false);  // reconciliation off: such a login is reconciled all the same
    s.login(DEMO);
    logIn(s);
    s.accountsAnswer({});

    s.connectionEvent(1, 2, T0);
    s.connectionEvent(0, 0, T0);
    s.logLine(kra::LOG_LEVEL_WARN, warning);
    ASSERT_TRUE(s.loginResult(true, "", 20261209, T0).reconcile);
    s.orderPush(order("1", "t1", '0', 1));  // the catch-up brought the order, not its fill
    const SessionStep done = answerReconcile(s, {order("1", "t1", '0', 1)}, {fill("1", "1")});
    const auto checks = eventsOf<NewDayCheckedEvent>(done);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].warning, warning);
    EXPECT_EQ(describeNewDayCheck(checks[0]),
              "new trading day 20261209: the pushes missed 1 fill, which the book took from the server's answers");
    ASSERT_TRUE(std::holds_alternative<ReconciledEvent>(done.events.at(0)));  // it follows the reconciliation

    // Once: a reconciliation on demand says nothing more of the day.
    s.startReconcile(false, T0);
    EXPECT_TRUE(eventsOf<NewDayCheckedEvent>(answerReconcile(s, {order("1", "t1", '0', 1)}, {fill("1", "1")})).empty());

    // The next day's pushes all came: nothing missing.
    s.connectionEvent(1, 2, T0);
    s.connectionEvent(0, 0, T0);
    s.logLine(kra::LOG_LEVEL_WARN, warning);
    s.loginResult(true, "", 20261210, T0);
    const auto clean = eventsOf<NewDayCheckedEvent>(answerReconcile(s, {}));
    ASSERT_EQ(clean.size(), 1u);
    EXPECT_EQ(describeNewDayCheck(clean[0]), "new trading day 20261210: nothing missing");
}

}  // namespace
}  // namespace hvr::tools
