// The book's rules: idempotent pushes, positions from fills, and what a
// reconciliation reports, loads, counts as raced and takes from the server.
#include "common/QueryRouter.h"
#include "common/Reconciler.h"

#include <gtest/gtest.h>

namespace hvr::tools {
namespace {

BookOrder order(const std::string& id, char state, uint32_t traded, uint32_t volume = 2) {
    BookOrder o;
    o.orderId = id;
    o.tag = "tag" + id;
    o.code = "IF2412";
    o.state = state;
    o.volume = volume;
    o.traded = traded;
    o.left = volume - traded;
    o.price = 3500;
    return o;
}

BookFill fill(const std::string& id, const std::string& orderId, char direction = '0', char offset = '0',
              uint32_t volume = 1) {
    BookFill f;
    f.tradeId = id;
    f.orderId = orderId;
    f.code = "IF2412";
    f.direction = direction;
    f.offset = offset;
    f.volume = volume;
    f.price = 3500;
    return f;
}

std::vector<Difference::Kind> kinds(const std::vector<Difference>& differences) {
    std::vector<Difference::Kind> out;
    for (const Difference& d : differences) out.push_back(d.kind);
    return out;
}

TEST(OrderBook, ReplayedPushesAreDuplicatesAndChangeNothing) {
    OrderBook book;
    // An order's life: queuing, part traded, all traded; then the day replayed.
    const std::vector<BookOrder> life = {order("7", '3', 0), order("7", '1', 1), order("7", '0', 2)};
    for (const BookOrder& o : life) EXPECT_NE(book.applyOrder(o), Applied::Duplicate);
    EXPECT_EQ(book.applyFill(fill("1", "7")), Applied::New);
    EXPECT_EQ(book.applyFill(fill("2", "7")), Applied::New);
    const uint64_t changes = book.changeCount();
    for (const BookOrder& o : life) EXPECT_EQ(book.applyOrder(o), Applied::Duplicate);
    EXPECT_EQ(book.applyFill(fill("1", "7")), Applied::Duplicate);
    EXPECT_EQ(book.applyFill(fill("2", "7")), Applied::Duplicate);
    EXPECT_EQ(book.duplicates(), 5u);
    EXPECT_EQ(book.changeCount(), changes);
    EXPECT_EQ(book.order("7")->state, '0');
    ASSERT_EQ(book.positions().size(), 1u);
    EXPECT_EQ(book.positions()[0].opened, 2u);  // not 4
    EXPECT_EQ(book.orderByTag("tag7"), book.order("7"));
}

TEST(OrderBook, AnUpdateMovingAnOrderBackIsADuplicate) {
    OrderBook book;
    book.applyOrder(order("7", '1', 1));
    EXPECT_EQ(book.applyOrder(order("7", '3', 0)), Applied::Duplicate);  // earlier state, less traded
    EXPECT_EQ(book.applyOrder(order("7", '6', 1)), Applied::Duplicate);  // earlier state, same traded
    EXPECT_EQ(book.applyOrder(order("7", '5', 1)), Applied::Updated);    // cancelled with 1 traded
    EXPECT_EQ(book.applyOrder(order("7", '0', 0)), Applied::Duplicate);  // a final state, but less traded
    EXPECT_EQ(book.order("7")->state, '5');
    EXPECT_EQ(book.order("7")->traded, 1u);
}

TEST(OrderBook, PositionsCountOpensOnTheirSideAndClosesAgainstTheOther) {
    OrderBook book;
    book.applyFill(fill("1", "1", '0', '0', 3));  // buy open: long +3
    book.applyFill(fill("2", "2", '1', '1', 1));  // sell close: long -1
    book.applyFill(fill("3", "3", '1', '0', 2));  // sell open: short +2
    book.applyFill(fill("4", "4", '0', '3', 2));  // buy close today: short -2
    book.setServerPositions({ServerPosition{"IF2412", '0', 0, 2}});
    const std::vector<BookPosition> positions = book.positions();
    ASSERT_EQ(positions.size(), 2u);
    EXPECT_EQ(positions[0].direction, '0');
    EXPECT_EQ(positions[0].net(), 2);
    ASSERT_TRUE(positions[0].server.has_value());
    EXPECT_EQ(positions[0].server->newVolume, 2u);
    EXPECT_EQ(positions[1].direction, '1');
    EXPECT_EQ(positions[1].opened, 2u);
    EXPECT_EQ(positions[1].closed, 2u);
    EXPECT_FALSE(positions[1].server.has_value());
}

TEST(OrderBook, ANewTradingDateStartsAnEmptyBook) {
    OrderBook book;
    EXPECT_EQ(book.startTradingDay(20261208), 0u);
    book.applyOrder(order("1", '0', 2));
    book.applyFill(fill("1", "1"));
    EXPECT_EQ(book.startTradingDay(20261208), 0u);  // the same day again: kept
    EXPECT_EQ(book.orderCount(), 1u);
    EXPECT_EQ(book.startTradingDay(20261209), 20261208u);
    EXPECT_EQ(book.orderCount(), 0u);
    EXPECT_EQ(book.fillCount(), 0u);
    EXPECT_TRUE(book.positions().empty());
}

TEST(OrderBook, ReconcilingReportsEachKindOfDifferenceThenHoldsTheServersView) {
    OrderBook book;
    book.applyOrder(order("1", '3', 0));  // the server has it filled
    book.applyOrder(order("2", '0', 2));  // the same on both sides
    book.applyOrder(order("9", '3', 0));  // the server does not know it
    book.applyFill(fill("1", "2"));
    book.applyFill(fill("8", "9"));       // the server does not know it
    const uint64_t since = book.changeCount();

    ReconcileCheck orders =
        book.reconcileOrders({order("1", '0', 2), order("2", '0', 2), order("3", '3', 0)}, since, false);
    EXPECT_EQ(kinds(orders.differences),
              (std::vector<Difference::Kind>{Difference::Kind::OrderDiffers, Difference::Kind::MissingOrder,
                                             Difference::Kind::UnknownOrder}));
    EXPECT_EQ(orders.differences[0].bookOrder->state, '3');
    EXPECT_EQ(orders.differences[0].serverOrder->state, '0');
    ReconcileCheck fills = book.reconcileFills({fill("1", "2"), fill("2", "2"), fill("3", "1")}, since, false);
    ASSERT_EQ(fills.differences.size(), 3u);
    EXPECT_EQ(fills.differences[2].kind, Difference::Kind::UnknownFill);
    EXPECT_EQ(fills.differences[2].bookFill->tradeId, "8");

    // The book now is the server's view: a second look finds nothing.
    EXPECT_EQ(book.order("1")->state, '0');
    EXPECT_EQ(book.order("9"), nullptr);
    EXPECT_EQ(book.orderByTag("tag9"), nullptr);
    EXPECT_EQ(book.fill("8"), nullptr);
    EXPECT_EQ(book.fill("2")->tag, "tag2");  // a queried fill takes its order's tag
    EXPECT_EQ(book.positions()[0].opened, 3u);
    const uint64_t after = book.changeCount();
    EXPECT_TRUE(book.reconcileOrders({order("1", '0', 2), order("2", '0', 2), order("3", '3', 0)}, after, false)
                    .differences.empty());
    EXPECT_TRUE(book.reconcileFills({fill("1", "2"), fill("2", "2"), fill("3", "1")}, after, false)
                    .differences.empty());
}

TEST(OrderBook, PushesNewerThanTheAnswerAreRacesNotDifferences) {
    OrderBook book;
    book.applyOrder(order("1", '3', 0));
    const uint64_t since = book.changeCount();
    // After the queries left: order 1 fills, order 2 and a fill appear.
    book.applyOrder(order("1", '0', 2));
    book.applyOrder(order("2", '3', 0));
    book.applyFill(fill("5", "1"));
    const ReconcileCheck orders = book.reconcileOrders({order("1", '3', 0)}, since, false);
    EXPECT_TRUE(orders.differences.empty());
    EXPECT_EQ(orders.raced, 2u);
    EXPECT_EQ(book.order("1")->state, '0');  // the newer push is kept
    EXPECT_NE(book.order("2"), nullptr);
    const ReconcileCheck fills = book.reconcileFills({}, since, false);
    EXPECT_TRUE(fills.differences.empty());
    EXPECT_NE(book.fill("5"), nullptr);
    // The same order state older than the queries is a difference.
    const ReconcileCheck later = book.reconcileOrders({order("1", '3', 0), order("2", '3', 0)}, book.changeCount(), false);
    EXPECT_EQ(kinds(later.differences), std::vector<Difference::Kind>{Difference::Kind::OrderDiffers});
}

TEST(Reconciler, AFirstReconciliationLoadsWhatTheBookLacksWithoutDifferences) {
    Reconciler r;
    r.loggedIn(20261208);
    r.book.applyOrder(order("1", '3', 0));  // replayed before the answers
    const auto t0 = SteadyTime();
    const uint64_t first = 1;
    r.start(first, true, t0);
    r.takeOrders(first, {order("1", '0', 2), order("2", '0', 2)});
    const auto result = r.takeFills(first, {fill("1", "1"), fill("2", "1")}, t0 + std::chrono::milliseconds(5));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->loadedOrders, 1u);
    EXPECT_EQ(result->loadedFills, 2u);
    EXPECT_EQ(kinds(result->differences), std::vector<Difference::Kind>{Difference::Kind::OrderDiffers});
    EXPECT_EQ(result->elapsed, std::chrono::milliseconds(5));
    EXPECT_EQ(reconcileSummary(*result),
              "reconciled: 2 orders, 2 fills, 1 difference; loaded into the new book: 1 order, 2 fills; "
              "0 duplicates so far (5 ms)");
    // Later ones call what the book lacks a difference.
    const uint64_t second = 2;
    r.start(second, false, t0);
    r.takeOrders(second, {order("1", '0', 2), order("2", '0', 2), order("3", '3', 0)});
    EXPECT_EQ(r.takeFills(second, {fill("1", "1"), fill("2", "1")}, t0)->differences.size(), 1u);
}

TEST(QueryRouter, AnswersFollowTheirQueriesAndTheHostsOwnAreLeftToTheHost) {
    QueryRouter r;
    r.sent(QueryKind::Trades, Asker{"demo", 0});
    r.sent(QueryKind::Orders, Asker{"demo", 7});
    r.sent(QueryKind::Trades, Asker{"demo", 7});
    r.sent(QueryKind::Orders, Asker{"bob", 0});
    EXPECT_EQ(r.answered(QueryKind::Orders)->reconciliation, 7u);
    const std::optional<Asker> own = r.answered(QueryKind::Orders);
    EXPECT_EQ(own->reconciliation, 0u);  // the host's own
    EXPECT_EQ(own->user, "bob");
    EXPECT_EQ(r.answered(QueryKind::Trades)->reconciliation, 0u);  // the host's own, asked first
    EXPECT_EQ(r.answered(QueryKind::Trades)->reconciliation, 7u);
    EXPECT_EQ(r.answered(QueryKind::Trades), std::nullopt);  // nobody asked
}

TEST(Reconciler, AnEndedConnectionInterruptsWhatWaits) {
    Reconciler r;
    r.start(3, false, SteadyTime());
    EXPECT_TRUE(r.busy());
    const std::vector<ReconcileResult> interrupted = r.connectionEnded(SteadyTime());
    ASSERT_EQ(interrupted.size(), 1u);
    EXPECT_TRUE(interrupted[0].interrupted);
    EXPECT_EQ(interrupted[0].id, 3u);
    EXPECT_FALSE(r.busy());
    // An answer that still came for it is nobody's.
    EXPECT_EQ(r.takeFills(3, {}, SteadyTime()), std::nullopt);
}

TEST(Reconciler, TheLoginOnANewDayCarriesTheOldDateAndTheWarningsOfThatLogin) {
    Reconciler r;
    r.loggedIn(20261208);
    r.book.applyOrder(order("1", '0', 2));
    r.connected();
    r.noteWarning("before the new login");
    r.connectionEnded(SteadyTime());
    r.connected();
    r.noteWarning("[TraderHVR] a new day");
    r.loggedIn(20261209);
    EXPECT_EQ(r.book.orderCount(), 0u);
    const uint64_t id = 1;
    r.start(id, true, SteadyTime());
    r.noteWarning("[TraderHVR] while answering");
    r.takeOrders(id, {});
    const auto result = r.takeFills(id, {}, SteadyTime());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->previousTradingDate, 20261208u);
    EXPECT_EQ(result->tradingDate, 20261209u);
    EXPECT_EQ(result->warnings, (std::vector<std::string>{"[TraderHVR] a new day", "[TraderHVR] while answering"}));
    EXPECT_EQ(newDayNote(*result), "new trading day 20261209 (the book was on 20261208): the book started empty");
    // Reported once.
    r.loggedIn(20261209);
    const uint64_t next = 2;
    r.start(next, true, SteadyTime());
    r.takeOrders(next, {});
    EXPECT_EQ(r.takeFills(next, {}, SteadyTime())->previousTradingDate, 0u);
}

TEST(Reconciler, DifferencesReadAsSentences) {
    Difference missing;
    missing.kind = Difference::Kind::MissingFill;
    missing.serverFill = fill("23", "17");
    EXPECT_EQ(describeDifference(missing), "fill 23 of order 17 IF2412 buy open 1 @ 3500: the server has it, the book does not");
    Difference differs;
    differs.kind = Difference::Kind::OrderDiffers;
    differs.bookOrder = order("17", '3', 0, 1);
    differs.serverOrder = order("17", '0', 1, 1);
    EXPECT_EQ(describeDifference(differs),
              "order 17 IF2412 buy open 1 @ 3500: the book has queuing, traded 0; the server has filled, traded 1");
    ReconcileResult many;
    many.serverOrders = 812;
    many.serverFills = 1904;
    EXPECT_EQ(reconcileSummary(many).rfind("reconciled: 812 orders, 1,904 fills, 0 differences", 0), 0u);
}

}  // namespace
}  // namespace hvr::tools
