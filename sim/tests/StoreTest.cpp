// The durable day: a book saved to SQLite and built again from it continues
// with the same ids, funds, positions and pushes; a fresh day wipes them.
#include "BookFixture.h"
#include "Store.h"
#include "TempDir.h"

namespace hvr::sim::testing {
namespace {

class StoreDay : public ::testing::Test {
protected:
    // Opens the store and builds a book from it, as the server does.
    std::unique_ptr<Book> open(bool fresh, uint32_t date) {
        store = std::make_unique<Store>(dir.file("day.db"), fresh, date);
        auto book = std::make_unique<Book>(xyInstruments(), twoAccounts(), store->load(),
                                           [] { return uint64_t{1733000000000}; }, Book::Options{});
        store->save(*book, book->takeChanges());
        return book;
    }

    void save(Book& book) { store->save(book, book.takeChanges()); }

    TempDir dir;
    std::unique_ptr<Store> store;
};

TEST_F(StoreDay, RestartContinuesTheSameDayWithTheSameIds) {
    auto book = open(false, 20241202);
    EXPECT_TRUE(store->startedNewDay());
    const uint32_t alice = book->authenticate("alice", "alice-digest");
    const uint32_t session = book->issueSessionId();
    book->insertOrder(alice, orderRequest("XY", 100, 2, exchg::DT_Long));
    const uint32_t resting = book->insertOrder(alice, orderRequest("XY", 95, 1, exchg::DT_Long)).answer.orderid();
    book->setLastPrice("XY", toFixed(101));
    save(*book);
    exchg::AnsAccountInfo before;
    book->accountInfo(alice, before);
    book.reset();
    store.reset();

    book = open(false, 20250101);  // the date of a new day is not used
    EXPECT_FALSE(store->startedNewDay());
    EXPECT_EQ(book->tradingDate(), 20241202u);
    EXPECT_EQ(book->authenticate("alice", "alice-digest"), alice);
    EXPECT_GT(book->issueSessionId(), session);
    EXPECT_EQ(book->replayPushes(alice, PUSH_RESUME_ALL).size(), 4u);

    // Funds match except for the position profit, which follows the
    // configured last price again after a restart.
    exchg::AnsAccountInfo after;
    book->accountInfo(alice, after);
    EXPECT_EQ(after.accinfos(0).margin(), before.accinfos(0).margin());
    EXPECT_EQ(after.accinfos(0).commission(), before.accinfos(0).commission());
    EXPECT_EQ(after.accinfos(0).frozenmargin(), before.accinfos(0).frozenmargin());

    exchg::PositionList positions;
    book->listPositions(alice, positions);
    ASSERT_EQ(positions.positions_size(), 1);
    EXPECT_EQ(positions.positions(0).newvolumn(), 2u);

    // The resting order is still live, and new ids follow the old ones.
    const Book::CancelOutcome cancel = book->cancelOrder(alice, resting);
    EXPECT_EQ(cancel.answer.result(), 0);
    EXPECT_EQ(cancel.pushes.at(0).pushId, 5u);
    const Book::InsertOutcome next = book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    EXPECT_EQ(next.answer.orderid(), resting + 1);
    EXPECT_EQ(tradeOf(next.pushes.at(1)).tradeid(), 2u);
}

TEST_F(StoreDay, FreshDayWipesEverythingAndTakesTheNewDate) {
    auto book = open(false, 20241202);
    const uint32_t alice = book->authenticate("alice", "alice-digest");
    book->insertOrder(alice, orderRequest("XY", 100, 2, exchg::DT_Long));
    save(*book);
    book.reset();
    store.reset();

    book = open(true, 20241203);
    EXPECT_TRUE(store->startedNewDay());
    EXPECT_EQ(book->tradingDate(), 20241203u);
    EXPECT_TRUE(book->replayPushes(alice, PUSH_RESUME_ALL).empty());
    exchg::OrderList orders;
    book->listOrders(alice, orders);
    EXPECT_EQ(orders.orders_size(), 0);
    const Book::InsertOutcome first = book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    EXPECT_EQ(first.answer.orderid(), 1u);
    EXPECT_EQ(first.pushes.at(0).pushId, 4u);  // push ids go on above the earlier day's three
    exchg::AnsAccountInfo info;
    book->accountInfo(alice, info);
    EXPECT_EQ(info.accinfos(0).prebalance(), toFixed(100000));
}

TEST_F(StoreDay, ChangesSavedOnlyInMemoryAreLostButSavedOnesStay) {
    auto book = open(false, 20241202);
    const uint32_t alice = book->authenticate("alice", "alice-digest");
    book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    save(*book);
    book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));  // never saved
    book.reset();
    store.reset();

    book = open(false, 20241202);
    EXPECT_EQ(book->replayPushes(alice, PUSH_RESUME_ALL).size(), 3u);
    EXPECT_EQ(book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long)).answer.orderid(), 2u);
}

// What a server does after a failed save: the book goes back to the rows
// the store holds, so every query answers as before and the ids the lost
// changes took are handed out again.
TEST_F(StoreDay, RevertSetsTheBookBackToTheStoredRows) {
    auto book = open(false, 20241202);
    const uint32_t alice = book->authenticate("alice", "alice-digest");
    const uint32_t resting = book->insertOrder(alice, orderRequest("XY", 95, 1, exchg::DT_Long)).answer.orderid();
    book->insertOrder(alice, orderRequest("XY", 100, 2, exchg::DT_Long));  // fills: order 2, trade 1
    save(*book);
    auto answers = [&book, alice] {
        exchg::OrderList orders;
        exchg::TradeList trades;
        exchg::PositionList positions;
        exchg::AnsAccountInfo account;
        book->listOrders(alice, orders);
        book->listTrades(alice, trades);
        book->listPositions(alice, positions);
        book->accountInfo(alice, account);
        return orders.SerializeAsString() + trades.SerializeAsString() + positions.SerializeAsString() +
               account.SerializeAsString();
    };
    const std::string before = answers();

    book->cancelOrder(alice, resting);
    book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    book->insertOrder(alice, orderRequest("XY", 100, 3, exchg::DT_Short, exchg::OF_Close));
    book->issueSessionId();
    const BookChanges lost = book->takeChanges();
    book->revert(lost, store->readRows(lost));

    EXPECT_EQ(answers(), before);
    EXPECT_EQ(book->replayPushes(alice, PUSH_RESUME_ALL).size(), 4u);
    const Book::InsertOutcome next = book->insertOrder(alice, orderRequest("XY", 100, 1, exchg::DT_Long));
    EXPECT_EQ(next.answer.orderid(), 3u);
    EXPECT_EQ(next.pushes.at(0).pushId, 5u);
    EXPECT_EQ(tradeOf(next.pushes.at(1)).tradeid(), 2u);
    EXPECT_EQ(book->issueSessionId(), 1u);
    EXPECT_EQ(book->cancelOrder(alice, resting).answer.result(), 0);  // still resting
}

TEST_F(StoreDay, UnusableFileIsAnErrorNotACrash) {
    EXPECT_THROW(Store(dir.file("missing-folder/day.db"), false, 20241202), SqliteError);
}

}  // namespace
}  // namespace hvr::sim::testing
