// The desk with saves that fail on demand (Faults::failSavesAfter): nothing is answered, pushed
// or numbered before it is saved; while saves fail, logins, orders and
// cancels are refused, a save is tried again once per interval, and queries
// are answered from the stored day.
#include <chrono>

#include "BookFixture.h"
#include "Desk.h"
#include "PacketCodec.h"
#include "Store.h"
#include "TempDir.h"

namespace hvr::sim::testing {
namespace {

struct Sent {
    uint16_t functionCode = 0;
    std::string payload;

    template <typename M>
    M as() const {
        M message;
        EXPECT_TRUE(message.ParseFromString(payload));
        return message;
    }
};

// A client that keeps what the desk sends it: answers and pushes apart.
class RecordingClient : public DeskClient {
public:
    void sendPacket(std::string packet) override {
        const auto* bytes = reinterpret_cast<const uint8_t*>(packet.data());
        Sent sent;
        sent.functionCode = decodeHeader(bytes).functionCode;
        EXPECT_TRUE(extractPayload(bytes, decodeHeader(bytes), sent.payload));
        (sent.functionCode == FC_PUSH_MESSAGE ? pushes : answers).push_back(std::move(sent));
    }
    const std::string& peerName() const override { return name_; }

    // The ids of the pushes that arrived since the last call.
    std::vector<uint64_t> takePushIds() {
        std::vector<uint64_t> ids;
        for (const Sent& s : std::exchange(pushes, {})) ids.push_back(s.as<exchg::PushMessage>().pushid());
        return ids;
    }

    std::vector<Sent> answers;
    std::vector<Sent> pushes;

private:
    std::string name_ = "client";
};

class DeskWithFailingStore : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_unique<Store>(dir.file("day.db"), true, 20241202);
        book = std::make_unique<Book>(xyInstruments(), twoAccounts(), store->load(),
                                      [] { return uint64_t{1733000000000}; }, Book::Options{});
        store->save(*book, book->takeChanges());
        Desk::Options options;
        options.clock = [this] { return now; };
        options.faults = &faults;
        desk = std::make_unique<Desk>(*book, *store, options);
        for (RecordingClient* c : {&trader, &watcher, &newcomer}) desk->attach(*c);
    }
    void TearDown() override {
        for (RecordingClient* c : {&trader, &watcher, &newcomer}) desk->detach(*c);
    }

    // One request and the one answer it got (its pushes stay with the client).
    Sent request(RecordingClient& client, uint16_t functionCode, const google::protobuf::MessageLite* message) {
        PacketHeader header;
        header.functionCode = functionCode;
        EXPECT_TRUE(desk->handle(client, header, message ? message->SerializeAsString() : std::string()));
        const std::vector<Sent> answers = std::exchange(client.answers, {});
        EXPECT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers.at(0).functionCode, functionCode);
        return answers.at(0);
    }

    exchg::AnsLogin login(RecordingClient& client) {
        exchg::ReqLogin r;
        r.set_username("alice");
        r.set_password("alice-digest");
        r.set_version("test");
        r.set_resource("");
        r.set_pushid(-1);
        return request(client, FC_CMD_LOGIN, &r).as<exchg::AnsLogin>();
    }
    exchg::AnsOrderInsert insert(double price) {
        const exchg::ReqOrderInsert r = orderRequest("XY", price, 1, exchg::DT_Long);
        return request(trader, FC_CMD_ORDER_INSERT, &r).as<exchg::AnsOrderInsert>();
    }
    exchg::AnsOrderCancel cancel(uint32_t orderId) {
        exchg::ReqOrderCancel r;
        r.set_orderid(orderId);
        return request(trader, FC_CMD_ORDER_CANCEL, &r).as<exchg::AnsOrderCancel>();
    }
    exchg::OrderList orders() { return request(trader, FC_QRY_ORDERS, nullptr).as<exchg::OrderList>(); }
    exchg::AccountInfo account() {
        return request(trader, FC_QRY_ACCOUNT_INFO, nullptr).as<exchg::AnsAccountInfo>().accinfos(0);
    }

    static void expectStoreRefusal(int result, const std::string& message) {
        EXPECT_EQ(result, exchg::EC_DB_ERROR);
        EXPECT_NE(message.find("cannot save"), std::string::npos) << message;
    }

    TempDir dir;
    Faults faults;
    std::unique_ptr<Store> store;
    std::unique_ptr<Book> book;
    std::unique_ptr<Desk> desk;
    StoreHealth::Clock::time_point now{std::chrono::hours(1)};
    RecordingClient trader, watcher, newcomer;
};

TEST_F(DeskWithFailingStore, AnOrderThatCannotBeSavedIsRefusedAndLeavesNoTraceNorId) {
    ASSERT_EQ(login(trader).result(), 0);
    ASSERT_EQ(login(watcher).result(), 0);
    const exchg::AccountInfo before = account();
    faults.failSavesAfter(0);

    const exchg::AnsOrderInsert refused = insert(100);  // would fill at once
    expectStoreRefusal(refused.result(), refused.message());
    EXPECT_EQ(refused.orderid(), 0u);
    EXPECT_EQ(refused.usertag(), "u1");  // still the answer to that request
    EXPECT_TRUE(trader.takePushIds().empty());
    EXPECT_TRUE(watcher.takePushIds().empty());
    EXPECT_EQ(orders().orders_size(), 0);
    EXPECT_EQ(account().SerializeAsString(), before.SerializeAsString());

    faults.failSavesAfter(std::nullopt);
    now += std::chrono::seconds(1);
    const exchg::AnsOrderInsert accepted = insert(100);
    EXPECT_EQ(accepted.result(), 0);
    EXPECT_EQ(accepted.orderid(), 1u);
    EXPECT_EQ(trader.takePushIds(), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(watcher.takePushIds(), (std::vector<uint64_t>{1, 2, 3}));
}

TEST_F(DeskWithFailingStore, WhileSavesFailWritesAreRefusedUntriedAndQueriesAnsweredUntilTheRetry) {
    ASSERT_EQ(login(trader).result(), 0);
    ASSERT_EQ(insert(95).result(), 0);  // rests: order 1
    faults.failSavesAfter(0);
    expectStoreRefusal(insert(95).result(), "cannot save");  // tried, failed

    // The store works again, but nothing is tried before the interval has
    // passed: these would all have been saved.
    faults.failSavesAfter(std::nullopt);
    now += std::chrono::milliseconds(999);
    const exchg::AnsOrderInsert untried = insert(95);
    expectStoreRefusal(untried.result(), untried.message());
    const exchg::AnsOrderCancel cancelled = cancel(1);
    expectStoreRefusal(cancelled.result(), cancelled.message());
    const exchg::AnsLogin refusedLogin = login(newcomer);
    expectStoreRefusal(refusedLogin.result(), refusedLogin.message());
    EXPECT_FALSE(refusedLogin.has_sessionid());
    EXPECT_EQ(orders().orders_size(), 1);
    EXPECT_EQ(orders().orders(0).status(), exchg::OS_NotTradedQueuing);
    EXPECT_EQ(desk->accountOf(newcomer), 0u);

    now += std::chrono::milliseconds(1);
    EXPECT_EQ(insert(95).orderid(), 2u);
    EXPECT_EQ(login(newcomer).sessionid(), 2u);
    EXPECT_EQ(cancel(1).result(), 0);
    EXPECT_EQ(trader.takePushIds(), (std::vector<uint64_t>{1, 2, 3}));
}

TEST_F(DeskWithFailingStore, FillsOfAPriceMoveThatCannotBeSavedAreUndone) {
    ASSERT_EQ(login(trader).result(), 0);
    ASSERT_EQ(insert(95).result(), 0);
    EXPECT_EQ(trader.takePushIds(), (std::vector<uint64_t>{1}));
    const exchg::AccountInfo before = account();
    faults.failSavesAfter(0);

    desk->moveLastPrice("XY", toFixed(95));
    EXPECT_TRUE(trader.takePushIds().empty());
    EXPECT_EQ(orders().orders(0).status(), exchg::OS_NotTradedQueuing);
    EXPECT_EQ(request(trader, FC_QRY_POSITION, nullptr).as<exchg::PositionList>().positions_size(), 0);
    EXPECT_EQ(request(trader, FC_QRY_TRADES, nullptr).as<exchg::TradeList>().trades_size(), 0);
    EXPECT_EQ(account().SerializeAsString(), before.SerializeAsString());

    faults.failSavesAfter(std::nullopt);
    desk->moveLastPrice("XY", toFixed(94));  // no try yet: the price stays
    EXPECT_TRUE(trader.takePushIds().empty());
    now += std::chrono::seconds(1);
    desk->moveLastPrice("XY", toFixed(94));
    EXPECT_EQ(trader.takePushIds(), (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(orders().orders(0).status(), exchg::OS_AllTraded);
}

}  // namespace
}  // namespace hvr::sim::testing
