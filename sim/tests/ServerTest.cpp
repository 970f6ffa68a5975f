// The whole server on a loopback port, driven by a raw test client. Every
// wait is on a packet or on the server closing the connection; none sleeps.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <thread>

#include "LoopbackServer.h"

namespace hvr::sim::testing {
namespace {

exchg::Order orderIn(const exchg::PushMessage& push) {
    EXPECT_EQ(push.mtype(), 60u);
    exchg::Order o;
    EXPECT_TRUE(o.ParseFromString(push.data()));
    return o;
}

TEST_F(LoopbackServer, LoginWithTheRightPasswordOpensASessionAndWrongOnesAreRefused) {
    start();
    TestClient first(port);
    const exchg::AnsLogin ok = first.login("demo", "demo");
    EXPECT_EQ(ok.result(), 0);
    EXPECT_EQ(ok.tradingdate(), 20241202u);
    TestClient second(port);
    EXPECT_GT(second.login("demo", "demo").sessionid(), ok.sessionid());

    for (const auto& [user, password] : {std::pair<const char*, const char*>{"demo", "wrong"}, {"nobody", "demo"}}) {
        TestClient refused(port);
        const exchg::AnsLogin answer = refused.login(user, password);
        EXPECT_EQ(answer.result(), exchg::EC_WRONG_PASSWORD);
        EXPECT_FALSE(answer.message().empty());
        EXPECT_EQ(refused.insert("IF2412", IF_LAST, 1, exchg::DT_Long).result(), exchg::EC_INVALID_ACCOUNT);
    }
}

TEST_F(LoopbackServer, AcceptedOrderIsAnsweredThenPushedToEverySessionOfTheAccount) {
    start();
    TestClient trader(port);
    TestClient watcher(port);
    trader.login("demo", "demo");
    watcher.login("demo", "demo");

    const exchg::ReqOrderInsert request = limitOrder("IF2412", IF_LAST, 1, exchg::DT_Long, exchg::OF_Open, "mine");
    trader.send(FC_CMD_ORDER_INSERT, 77, &request);
    const ReceivedPacket answerPacket = trader.receive();
    EXPECT_EQ(answerPacket.header.functionCode, FC_CMD_ORDER_INSERT);
    EXPECT_EQ(answerPacket.header.requestNo, 77u);
    exchg::AnsOrderInsert answer;
    ASSERT_TRUE(answer.ParseFromString(answerPacket.payload));
    EXPECT_EQ(answer.result(), 0);
    EXPECT_EQ(answer.usertag(), "mine");

    for (TestClient* client : {&trader, &watcher}) {
        const exchg::PushMessage queued = client->receivePush();
        const exchg::PushMessage trade = client->receivePush();
        const exchg::PushMessage done = client->receivePush();
        EXPECT_EQ(queued.pushid(), 1u);
        EXPECT_EQ(orderIn(queued).status(), exchg::OS_NotTradedQueuing);
        EXPECT_EQ(orderIn(queued).orderid(), answer.orderid());
        EXPECT_EQ(trade.mtype(), 61u);
        EXPECT_EQ(trade.pushid(), 2u);
        EXPECT_EQ(orderIn(done).status(), exchg::OS_AllTraded);
        EXPECT_EQ(done.pushid(), 3u);
    }

    trader.send(FC_QRY_POSITION, 78);
    const auto positions = trader.receiveAs<exchg::PositionList>(FC_QRY_POSITION);
    ASSERT_EQ(positions.positions_size(), 1);
    EXPECT_EQ(positions.positions(0).newvolumn(), 1u);
    trader.send(FC_QRY_ACCOUNT_INFO, 79);
    const auto account = trader.receiveAs<exchg::AnsAccountInfo>(FC_QRY_ACCOUNT_INFO);
    ASSERT_EQ(account.accinfos_size(), 1);
    EXPECT_EQ(account.accinfos(0).margin(), 126000u * 10000u);  // 3500 x 300 x 12%
}

TEST_F(LoopbackServer, LoginReplaysThePushesAfterTheResumeIdRightAfterTheAnswer) {
    start();
    {
        TestClient trader(port);
        trader.login("demo", "demo");
        trader.insert("IF2412", IF_LAST, 1, exchg::DT_Long);
        roundTrip(trader);
    }
    TestClient all(port);
    EXPECT_EQ(all.login("demo", "demo", 0).result(), 0);
    for (uint64_t id = 1; id <= 3; ++id) EXPECT_EQ(all.receivePush().pushid(), id);

    TestClient tail(port);
    tail.login("demo", "demo", 2);
    EXPECT_EQ(tail.receivePush().pushid(), 3u);

    TestClient none(port);
    none.login("demo", "demo", -1);
    none.send(FC_HEART_BEAT, 0);
    EXPECT_EQ(none.receive().header.functionCode, FC_HEART_BEAT);  // nothing replayed before it
}

TEST_F(LoopbackServer, CancelAnswersThenPushesTheCancelledOrder) {
    start();
    TestClient trader(port);
    trader.login("demo", "demo");
    const uint32_t id = trader.insert("IF2412", IF_LAST - 100000, 1, exchg::DT_Long).orderid();
    EXPECT_EQ(orderIn(trader.receivePush()).status(), exchg::OS_NotTradedQueuing);

    exchg::ReqOrderCancel cancel;
    cancel.set_orderid(id);
    trader.send(FC_CMD_ORDER_CANCEL, 5, &cancel);
    EXPECT_EQ(trader.receiveAs<exchg::AnsOrderCancel>(FC_CMD_ORDER_CANCEL).result(), 0);
    EXPECT_EQ(orderIn(trader.receivePush()).status(), exchg::OS_Canceled);

    trader.send(FC_CMD_ORDER_CANCEL, 6, &cancel);
    EXPECT_EQ(trader.receiveAs<exchg::AnsOrderCancel>(FC_CMD_ORDER_CANCEL).result(), exchg::EC_INVALID_ORDERSTATE);
    cancel.set_orderid(id + 100);
    trader.send(FC_CMD_ORDER_CANCEL, 7, &cancel);
    EXPECT_EQ(trader.receiveAs<exchg::AnsOrderCancel>(FC_CMD_ORDER_CANCEL).result(), exchg::EC_INVALID_ORDER);
}

TEST_F(LoopbackServer, LargeAnswerArrivesCompressed) {
    start();
    TestClient trader(port);
    trader.login("demo", "demo");
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(trader.insert("AU2412", 4700000, 1, exchg::DT_Long).result(), 0);  // rests below 480
        trader.receivePush();
    }
    trader.send(FC_QRY_ORDERS, 9);
    const ReceivedPacket packet = trader.receive();
    EXPECT_EQ(packet.header.functionCode, FC_QRY_ORDERS);
    EXPECT_GT(packet.header.rawLength, PACKET_HEADER_SIZE + 1024);
    EXPECT_EQ(packet.header.rawLength, PACKET_HEADER_SIZE + packet.payload.size());
    exchg::OrderList orders;
    ASSERT_TRUE(orders.ParseFromString(packet.payload));
    EXPECT_EQ(orders.orders_size(), 20);

    trader.send(FC_QRY_TRADES, 10);
    const ReceivedPacket small = trader.receive();
    EXPECT_EQ(small.header.rawLength, 0u);
}

TEST_F(LoopbackServer, QueriesAreAnsweredWithoutLoginAndUnknownCodesIgnored) {
    start();
    TestClient anonymous(port);
    anonymous.send(77, 1);  // ignored
    anonymous.send(FC_QRY_ORDERS, 2);
    EXPECT_EQ(anonymous.receiveAs<exchg::OrderList>(FC_QRY_ORDERS).orders_size(), 0);
    anonymous.send(FC_QRY_TRADES, 3);
    EXPECT_EQ(anonymous.receiveAs<exchg::TradeList>(FC_QRY_TRADES).trades_size(), 0);
    anonymous.send(FC_QRY_POSITION, 4);
    EXPECT_EQ(anonymous.receiveAs<exchg::PositionList>(FC_QRY_POSITION).positions_size(), 0);
    anonymous.send(FC_QRY_ACCOUNT_INFO, 5);
    EXPECT_EQ(anonymous.receiveAs<exchg::AnsAccountInfo>(FC_QRY_ACCOUNT_INFO).accinfos_size(), 0);
}

TEST_F(LoopbackServer, LogoutEndsTheLoginButKeepsTheConnection) {
    start();
    TestClient trader(port);
    trader.login("demo", "demo");
    trader.send(FC_CMD_LOGOUT, 2);
    EXPECT_EQ(trader.insert("IF2412", IF_LAST, 1, exchg::DT_Long).result(), exchg::EC_INVALID_ACCOUNT);
}

TEST_F(LoopbackServer, MalformedClientsAreDroppedWhileAnotherKeepsTrading) {
    start();
    TestClient good(port);
    good.login("demo", "demo");

    std::string badMagic(PACKET_HEADER_SIZE, '\0');
    std::string shortLength;
    appendRequestPacket(shortLength, FC_QRY_ORDERS, 1, nullptr, 0);
    writeLE32(reinterpret_cast<uint8_t*>(shortLength.data()) + OFFSET_PACKET_LENGTH, 8);
    std::string oversize;
    appendRequestPacket(oversize, FC_QRY_ORDERS, 1, nullptr, 0);
    writeLE32(reinterpret_cast<uint8_t*>(oversize.data()) + OFFSET_PACKET_LENGTH, MAX_PACKET_SIZE);
    std::string unparsable;
    appendRequestPacket(unparsable, FC_CMD_LOGIN, 1, "\xff\xff\xff", 3);
    std::string emptyInsert;
    appendRequestPacket(emptyInsert, FC_CMD_ORDER_INSERT, 1, nullptr, 0);

    for (const std::string& garbage : {badMagic, shortLength, oversize, unparsable, emptyInsert}) {
        TestClient bad(port);
        bad.sendRaw(garbage);
        EXPECT_TRUE(bad.closedByServer());
    }

    EXPECT_EQ(good.insert("IF2412", IF_LAST, 1, exchg::DT_Long).result(), 0);
    EXPECT_EQ(good.receivePush().pushid(), 1u);
}

TEST_F(LoopbackServer, SilentClientIsDisconnectedAfterTheIdleTimeout) {
    SimOptions options;
    options.idleTimeoutSeconds = 0.2;
    start(options);
    TestClient silent(port);
    EXPECT_TRUE(silent.closedByServer());
}

TEST_F(LoopbackServer, DropAfterClosesOnceTheLastAnswerIsWritten) {
    SimOptions options;
    options.faults.dropAfter = 2;
    start(options);
    TestClient client(port);
    EXPECT_EQ(client.login("demo", "demo").result(), 0);
    client.send(FC_QRY_ORDERS, 2);
    EXPECT_EQ(client.receive().header.functionCode, FC_QRY_ORDERS);
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(LoopbackServer, OneByteWritesAndDelayedAnswersStillArriveWholeAndInOrder) {
    SimOptions options;
    options.faults.oneByteWrites = true;
    options.faults.answerDelayMs = 20;
    start(options);
    TestClient client(port);
    EXPECT_EQ(client.login("demo", "demo").result(), 0);
    EXPECT_EQ(client.insert("IF2412", IF_LAST, 1, exchg::DT_Long).result(), 0);
    for (uint64_t id = 1; id <= 3; ++id) EXPECT_EQ(client.receivePush().pushid(), id);
}

TEST_F(LoopbackServer, RefuseLoginsRefusesTheRightPasswordToo) {
    SimOptions options;
    options.faults.refuseLogins = true;
    start(options);
    TestClient client(port);
    EXPECT_EQ(client.login("demo", "demo").result(), exchg::EC_WRONG_PASSWORD);
}

// The built-in demo account has room for a real session: 50 lots of IF2412
// (6.3 million of margin) at once, and the same again in the other metals.
TEST_F(LoopbackServer, TheBuiltInDemoAccountAffordsARealSession) {
    start();
    TestClient trader(port);
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);
    const exchg::AnsOrderInsert fifty = trader.insert("IF2412", IF_LAST - 1000000, 50, exchg::DT_Long);  // rests
    EXPECT_EQ(fifty.result(), 0) << fifty.message();
    trader.receivePush();
    const exchg::AnsOrderInsert gold = trader.insert("AU2412", 4700000, 20, exchg::DT_Long);  // rests below 480
    EXPECT_EQ(gold.result(), 0) << gold.message();
}

TEST_F(LoopbackServer, RestartedServerContinuesTheDay) {
    start();
    uint32_t firstOrder = 0;
    {
        TestClient trader(port);
        trader.login("demo", "demo");
        firstOrder = trader.insert("IF2412", IF_LAST, 1, exchg::DT_Long).orderid();
        roundTrip(trader);
    }
    stop();
    start({}, false);
    TestClient trader(port);
    EXPECT_EQ(trader.login("demo", "demo", 0).tradingdate(), 20241202u);
    for (uint64_t id = 1; id <= 3; ++id) EXPECT_EQ(trader.receivePush().pushid(), id);
    EXPECT_EQ(trader.insert("IF2412", IF_LAST, 1, exchg::DT_Long).orderid(), firstOrder + 1);
    EXPECT_EQ(trader.receivePush().pushid(), 4u);
}

// A client's flow record names the last push id it saw; a fresh day must not
// hand out that id, or any below it, again, whatever its date: the client
// would skip the new day's pushes up to it. On a date seen before, session,
// order and trade ids go on too, so entrust tags (date.session.sequence) and
// order ids are not issued twice on one date.
TEST_F(LoopbackServer, FreshDayContinuesPushIdsOnAnyDateAndTheOtherIdsOnADateSeenBefore) {
    struct Ids {
        uint32_t session = 0;
        uint32_t order = 0;
        uint32_t trade = 0;
        std::vector<uint64_t> pushes;
    };
    auto fillOneOrder = [this](int64_t resumeFrom) {
        TestClient trader(port);
        Ids ids;
        const exchg::AnsLogin login = trader.login("demo", "demo", resumeFrom);
        EXPECT_EQ(login.result(), 0);
        ids.session = login.sessionid();
        ids.order = trader.insert("IF2412", IF_LAST, 1, exchg::DT_Long).orderid();
        for (int i = 0; i < 3; ++i) {
            const exchg::PushMessage push = trader.receivePush();
            ids.pushes.push_back(push.pushid());
            exchg::Trade trade;
            if (push.mtype() == FC_PUSH_TRADE && trade.ParseFromString(push.data())) ids.trade = trade.tradeid();
        }
        return ids;
    };
    auto expectIds = [](const Ids& ids, uint32_t session, uint32_t n, std::vector<uint64_t> pushes) {
        EXPECT_EQ(ids.session, session);
        EXPECT_EQ(ids.order, n);
        EXPECT_EQ(ids.trade, n);
        EXPECT_EQ(ids.pushes, pushes);
    };
    start({}, true, 20241202);
    expectIds(fillOneOrder(-1), 1, 1, {1, 2, 3});
    stop();

    start({}, true, 20241202);
    expectIds(fillOneOrder(3), 2, 2, {4, 5, 6});
    {
        TestClient replay(port);  // the whole of the new day is 4..6
        replay.login("demo", "demo", 0);
        for (uint64_t id = 4; id <= 6; ++id) EXPECT_EQ(replay.receivePush().pushid(), id);
    }
    stop();

    start({}, true, 20241203);  // the next date: push ids go on, the others start again
    expectIds(fillOneOrder(6), 1, 1, {7, 8, 9});
    stop();

    start({}, true, 20241202);  // back to the first date: above both of its days (session 3 replayed)
    expectIds(fillOneOrder(9), 4, 3, {10, 11, 12});
}

// A new trading day opens with the positions the day before left open, as
// yesterday's volume at their opening cost: they are in the positions
// answer, can be closed, and their profit counts from the opening price (here
// the configured last price moves from 3500 to 3600 overnight). Starting a
// date over opens it with what it opened with before, not with its own end.
TEST_F(LoopbackServer, ANewDayOpensWithYesterdaysPositionsAtTheirCost) {
    const auto configWithLast = [this](const std::string& last) {
        const std::string path = dir.file("if" + last + ".ini");
        std::ofstream(path) << "[account.demo]\npassword = demo\nbalance = 10000000\n"
                               "[instrument.IF2412]\nmultiplier = 300\ntick = 0.2\nlast = "
                            << last << "\nmargin_ratio = 0.12\ncommission_ratio = 0\n";
        SimOptions options;
        options.configFile = path;
        return options;
    };
    const auto longPosition = [](TestClient& trader) {
        trader.send(FC_QRY_POSITION, 90);
        const auto list = trader.receiveAs<exchg::PositionList>(FC_QRY_POSITION);
        EXPECT_EQ(list.positions_size(), 1);
        return list.positions_size() == 1 ? list.positions(0) : exchg::Position();
    };
    const auto closeOne = [](TestClient& trader, int32_t price) {
        const exchg::ReqOrderInsert close = limitOrder("IF2412", price, 1, exchg::DT_Short, exchg::OF_Close);
        trader.send(FC_CMD_ORDER_INSERT, 91, &close);
        return trader.receiveAs<exchg::AnsOrderInsert>(FC_CMD_ORDER_INSERT);
    };

    start(configWithLast("3500"), true, 20241202);
    {
        TestClient trader(port);
        ASSERT_EQ(trader.login("demo", "demo").result(), 0);
        ASSERT_EQ(trader.insert("IF2412", 35000000, 2, exchg::DT_Long).result(), 0);
        roundTrip(trader);
    }
    stop();

    start(configWithLast("3600"), true, 20241203);
    {
        TestClient trader(port);
        ASSERT_EQ(trader.login("demo", "demo").result(), 0);
        const exchg::Position carried = longPosition(trader);
        EXPECT_EQ(carried.prevolumn(), 2u);
        EXPECT_EQ(carried.newvolumn(), 0u);
        EXPECT_EQ(carried.avaliprevol(), 2u);
        trader.send(FC_QRY_ACCOUNT_INFO, 92);
        const auto funds = trader.receiveAs<exchg::AnsAccountInfo>(FC_QRY_ACCOUNT_INFO).accinfos(0);
        EXPECT_EQ(funds.margin(), 2u * 126000u * 10000u);  // as opened: 3500 x 300 x 12% a lot
        EXPECT_EQ(funds.dynprofit(), 2 * 30000 * 10000);  // (3600 - 3500) x 300 a lot
        const exchg::AnsOrderInsert closed = closeOne(trader, 36000000);
        ASSERT_EQ(closed.result(), 0) << closed.message();
        for (int i = 0; i < 3; ++i) trader.receivePush();
        trader.send(FC_QRY_TRADES, 93);
        const auto trades = trader.receiveAs<exchg::TradeList>(FC_QRY_TRADES);
        ASSERT_EQ(trades.trades_size(), 1);
        EXPECT_EQ(trades.trades(0).closeprofit(), 30000 * 10000);
        EXPECT_EQ(longPosition(trader).prevolumn(), 1u);
    }
    stop();

    start(configWithLast("3600"), true, 20241203);  // the same date again: it opens as it did
    {
        TestClient trader(port);
        ASSERT_EQ(trader.login("demo", "demo").result(), 0);
        EXPECT_EQ(longPosition(trader).prevolumn(), 2u);
        ASSERT_EQ(closeOne(trader, 36000000).result(), 0);
        roundTrip(trader);
    }
    stop();

    start(configWithLast("3600"), true, 20241204);  // the next date: what that day left
    TestClient trader(port);
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);
    EXPECT_EQ(longPosition(trader).prevolumn(), 1u);
}

TEST_F(LoopbackServer, LoggedInConnectionsGetAHeartbeatEveryInterval) {
    SimOptions options;
    options.heartbeatSeconds = 0.1;
    start(options);
    TestClient client(port);
    EXPECT_TRUE(client.silentFor(std::chrono::milliseconds(300)));  // none before a login
    EXPECT_EQ(client.login("demo", "demo").result(), 0);
    for (int i = 0; i < 3; ++i) {
        const ReceivedPacket heartbeat = client.receive();
        EXPECT_EQ(heartbeat.header.functionCode, FC_HEART_BEAT);
        EXPECT_EQ(heartbeat.header.requestNo, 0u);
        EXPECT_EQ(heartbeat.header.packetLength, PACKET_HEADER_SIZE);
    }
}

TEST_F(LoopbackServer, FreezeAfterStopsReadingAndWritingButKeepsTheConnectionOpen) {
    SimOptions options;
    options.faults.freezeAfter = 2;
    options.heartbeatSeconds = 0.05;
    options.idleTimeoutSeconds = 0.2;
    start(options);
    TestClient client(port);
    EXPECT_EQ(client.login("demo", "demo").result(), 0);
    client.send(FC_QRY_ORDERS, 2);  // the second packet is still answered
    ReceivedPacket answer;
    do answer = client.receive();
    while (answer.header.functionCode == FC_HEART_BEAT);
    EXPECT_EQ(answer.header.functionCode, FC_QRY_ORDERS);
    // Heartbeats written before the freeze may still be on their way.
    while (!client.silentFor(std::chrono::milliseconds(150)))
        EXPECT_EQ(client.receive().header.functionCode, FC_HEART_BEAT);
    client.send(FC_QRY_ORDERS, 3);
    // No answer, no heartbeat, and no close for several idle timeouts.
    EXPECT_TRUE(client.silentFor(std::chrono::milliseconds(800)));
}

}  // namespace
}  // namespace hvr::sim::testing
