// Trading through the module against a scripted server: login and the flow
// file, orders and cancels, queries and pushes.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/FlowBytes.h"
#include "support/LoginExchange.h"
#include "texts/LogText.h"

namespace hvr::test {
namespace {

using namespace std::chrono_literals;

class Trading : public ::testing::Test {
protected:
    void SetUp() override {
        catalog.addInstrument("IF2412", 300, "CNY");
        catalog.addInstrument("AU2412", 1000, "USD");
        start();
    }
    void start(const std::string& pushMode = "") {
        auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), pushMode});
        trader->init(config.get());
        trader->registerListener(&listener);
        trader->connect();
        ASSERT_TRUE(listener.waitForEvent(0, 0));
        ASSERT_TRUE(server.waitForConnections(1));
    }
    // Sends a login and answers it; returns the request the server saw.
    exchg_peer::ReqLogin loginAs(const char* user, const exchg_peer::AnsLogin& answer) {
        return loginAnswered(trader.get(), server, listener, user, answer);
    }
    std::string flowPath(const std::string& user) { return dir.prefix() + user + ".flow"; }

    kra::SimpleContractCatalog catalog;
    ScriptedServer server;
    TempDir dir;
    TestListener listener{&catalog};
    TraderHandle trader;
};

TEST_F(Trading, SuccessfulLoginSetsTheSessionAndOpensTheFlowFile) {
    exchg_peer::ReqLogin request = loginAs("alice", loginAnswer(0, "welcome", 20261207, 5));
    EXPECT_EQ(request.username(), "alice");
    EXPECT_EQ(request.password(), "5ebe2294ecd0e0f08eab7690d2a6ee69");  // md5("secret")
    EXPECT_EQ(request.version(), "2019.08.14");
    EXPECT_EQ(request.resource(), "desk-1");
    EXPECT_TRUE(request.has_pushid());
    EXPECT_EQ(request.pushid(), 0);  // no file yet
    ASSERT_EQ(listener.loginResults.size(), 1u);
    EXPECT_TRUE(listener.loginResults[0].succeeded);
    EXPECT_EQ(listener.loginResults[0].message, "");  // whatever the server said
    EXPECT_EQ(listener.loginResults[0].tradingDate, 20261207u);

    char id[40];
    ASSERT_TRUE(trader->makeEntrustId(id, sizeof id));
    EXPECT_STREQ(id, "20261207.5.000001");
    const std::string flow = fileBytes(flowPath("alice"));
    ASSERT_EQ(flow.size(), 12u);
    EXPECT_EQ(le64At(flow, 0), 0u);
    EXPECT_EQ(static_cast<uint8_t>(flow[8]) | static_cast<uint8_t>(flow[9]) << 8 |
                  static_cast<uint8_t>(flow[10]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(flow[11])) << 24,
              20261207u);
}

TEST_F(Trading, RefusedLoginReportsTheServersTextAndKeepsTheSession) {
    loginAs("alice", loginAnswer(0, "", 20261207, 5));
    loginAs("alice", loginAnswer(-21, "wrong password", 20261208));
    ASSERT_EQ(listener.loginResults.size(), 2u);
    EXPECT_FALSE(listener.loginResults[1].succeeded);
    EXPECT_EQ(listener.loginResults[1].message, "wrong password");
    EXPECT_EQ(listener.loginResults[1].tradingDate, 20261208u);
    char id[40];
    ASSERT_TRUE(trader->makeEntrustId(id, sizeof id));
    EXPECT_STREQ(id, "20261207.5.000001");
}

TEST_F(Trading, AnswerWithoutSessionIdRestartsTheSequenceUnderSessionZero) {
    loginAs("alice", loginAnswer(0, "", 20261207, 9));
    char id[40];
    trader->makeEntrustId(id, sizeof id);
    trader->makeEntrustId(id, sizeof id);
    loginAs("alice", loginAnswer(0, "", 20261209));
    ASSERT_TRUE(trader->makeEntrustId(id, sizeof id));
    EXPECT_STREQ(id, "20261209.0.000001");
}

TEST_F(Trading, PushesArriveInOrderAndTheirIdIsKeptOnDisk) {
    loginAs("alice", loginAnswer(0, "", 20261207, 1));
    server.send(pushPacket(7, FC_PUSH_ORDER, order(11, "IF2412", 35000000, 2)) +
                pushPacket(9, FC_PUSH_TRADE, trade(3, 11, "IF2412", 35000000, 2)) +
                pushPacket(8, 62, order(12, "IF2412", 1, 1)));  // unknown mtype: only the id counts
    ASSERT_TRUE(listener.waitFor([&] { return listener.tradePushes.size() == 1; }));
    ASSERT_EQ(listener.orderPushes.size(), 1u);
    EXPECT_EQ(listener.orderPushes[0]->orderId, "11");
    EXPECT_EQ(listener.orderPushes[0]->orderTime, 1700000000u);  // pushed: milliseconds to seconds
    EXPECT_DOUBLE_EQ(listener.orderPushes[0]->price, 3500.0);
    EXPECT_EQ(listener.tradePushes[0]->userTag, "fill-tag");
    // The last push (id 8) is stored once dispatched; a query answer after it
    // tells us the pass is over.
    server.send(packetOf(FC_QRY_ORDERS, exchg_peer::OrderList()));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderAnswers.size() == 1; }));
    EXPECT_EQ(le64At(fileBytes(flowPath("alice")), 0), 8u);
}

TEST_F(Trading, LoginAfterAReconnectSendsTheRecordedPushId) {
    loginAs("alice", loginAnswer(0, "", 20261207, 1));
    server.send(pushPacket(41, FC_PUSH_ORDER, order(1, "IF2412", 1, 1)));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderPushes.size() == 1; }));
    listener.setOnEvent([&](int kind, int code) {
        if (kind == 0 && code == 0) trader->login("alice", "secret", "desk-1");  // as a host does
    });
    server.closeConnection();
    ASSERT_TRUE(listener.waitForEvent(0, 0, 2));
    auto login = server.waitPacket(FC_CMD_LOGIN);
    ASSERT_TRUE(login.has_value());
    EXPECT_EQ(login->connection, 2);
    EXPECT_EQ(login->header.requestNo, 1u);
    exchg_peer::ReqLogin request;
    ASSERT_TRUE(request.ParseFromString(login->payload));
    EXPECT_EQ(request.pushid(), 41);
}

TEST_F(Trading, PushesBeforeAnyLoginAreDeliveredButNotRecorded) {
    server.send(pushPacket(5, FC_PUSH_ORDER, order(1, "IF2412", 1, 1)));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderPushes.size() == 1; }));
    exchg_peer::ReqLogin request = loginAs("bob", loginAnswer(0, "", 20261207, 1));
    EXPECT_EQ(request.pushid(), 0);
    EXPECT_EQ(le64At(fileBytes(flowPath("bob")), 0), 0u);
}

TEST_F(Trading, NextTraderResumesFromTheStoredPushId) {
    loginAs("carol", loginAnswer(0, "", 20261207, 1));
    server.send(pushPacket(1234, FC_PUSH_TRADE, trade(1, 1, "IF2412", 1, 1)));
    ASSERT_TRUE(listener.waitFor([&] { return listener.tradePushes.size() == 1; }));
    trader->release();
    trader.markReleased();
    ASSERT_EQ(le64At(fileBytes(flowPath("carol")), 0), 1234u);

    // A new trader object, as a new run of the host would make, reads the file.
    TestListener nextListener;  // outlives the trader that reports to it
    TraderHandle next;
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), ""});
    next->init(config.get());
    next->registerListener(&nextListener);
    next->connect();
    ASSERT_TRUE(nextListener.waitForEvent(0, 0));
    next->login("carol", "secret", "");
    auto login = server.waitPacket(FC_CMD_LOGIN);
    ASSERT_TRUE(login.has_value());
    exchg_peer::ReqLogin request;
    ASSERT_TRUE(request.ParseFromString(login->payload));
    EXPECT_EQ(request.pushid(), 1234);
}

TEST_F(Trading, SecondProcessResumesFromTheStoredPushId) {
    loginAs("frank", loginAnswer(0, "", 20261207, 1));
    server.send(pushPacket(777, FC_PUSH_ORDER, order(1, "IF2412", 1, 1)));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderPushes.size() == 1; }));
    trader->release();
    trader.markReleased();

    const std::string command = std::string(HVR_FLOW_CHILD_PATH) + " " + server.portText() + " " + dir.prefix() + " frank";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto login = server.waitPacket(FC_CMD_LOGIN);
    ASSERT_TRUE(login.has_value());
    exchg_peer::ReqLogin request;
    ASSERT_TRUE(request.ParseFromString(login->payload));
    EXPECT_EQ(request.resource(), "second-run");
    EXPECT_EQ(request.pushid(), 777);
}

TEST_F(Trading, RetainedRecordsOutliveTheTrader) {
    server.send(pushPacket(1, FC_PUSH_TRADE, trade(5, 6, "IF2412", 1, 1)));
    ASSERT_TRUE(listener.waitFor([&] { return listener.tradePushes.size() == 1; }));
    trader.close();  // release and delete the trader
    EXPECT_EQ(listener.tradePushes[0]->retainCount(), 1u);  // only the listener's reference is left
    EXPECT_EQ(listener.tradePushes[0]->tradeId, "5");
}

TEST_F(Trading, AnswersWithoutAListenerAreBuiltAndFreed) {
    loginAs("gina", loginAnswer(0, "", 20261207, 1));
    trader->registerListener(nullptr);
    exchg_peer::OrderList orders;
    *orders.add_orders() = order(1, "IF2412", 1, 1);
    exchg_peer::AnsOrderCancel refused;
    refused.set_orderid(1);
    refused.set_result(-27);
    refused.set_message("");
    refused.set_usertag("");
    // The push comes last: its id in the flow file tells when all were handled.
    server.send(packetOf(FC_QRY_ORDERS, orders) + packetOf(FC_CMD_ORDER_CANCEL, refused) +
                pushPacket(2, FC_PUSH_ORDER, order(2, "IF2412", 1, 1)));
    const auto deadline = std::chrono::steady_clock::now() + WAIT_LIMIT;
    while (le64At(fileBytes(flowPath("gina")), 0) != 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(le64At(fileBytes(flowPath("gina")), 0), 2u);
    trader->registerListener(&listener);
    EXPECT_TRUE(listener.orderAnswers.empty());  // built and released unseen; ASan checks nothing leaked
    EXPECT_TRUE(listener.orderPushes.empty());
    EXPECT_TRUE(listener.traderErrors.empty());
}

TEST_F(Trading, PushModeOneAsksForNewPushesUntilARecordIsOpen) {
    std::ofstream(flowPath("dave"), std::ios::binary) << std::string("\x39\x30\0\0\0\0\0\0\0\0\0\0", 12);
    trader->disconnect();
    start("1");
    exchg_peer::ReqLogin first = loginAs("dave", loginAnswer(0, "", 20261207, 1));
    EXPECT_EQ(first.pushid(), -1);
    exchg_peer::ReqLogin second = loginAs("dave", loginAnswer(0, "", 20261207, 2));
    EXPECT_EQ(second.pushid(), 12345);  // the record, kept from the 12-byte file
}

TEST_F(Trading, OrderInsertSendsTheEncodedRequest) {
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 3, 12.3456);
    entrust->direction = '1';
    entrust->priceType = '2';
    entrust->timeCondition = '1';
    entrust->offsetType = '3';
    entrust->userTag = "u1";
    EXPECT_EQ(trader->orderInsert(entrust), 0);
    entrust->release();
    auto p = server.waitPacket(FC_CMD_ORDER_INSERT);
    ASSERT_TRUE(p.has_value());
    exchg_peer::ReqOrderInsert request;
    ASSERT_TRUE(request.ParseFromString(p->payload));
    EXPECT_EQ(request.instrument(), "IF2412");
    EXPECT_EQ(request.price(), 123456u);
    EXPECT_EQ(request.qty(), 3u);
    EXPECT_EQ(request.direct(), exchg_peer::DT_Short);
    EXPECT_EQ(request.pxtype(), exchg_peer::PT_LimitPrice);
    EXPECT_EQ(request.timecond(), exchg_peer::TC_ImmediateOrCancel);
    EXPECT_EQ(request.offset(), exchg_peer::OF_CloseToday);
    EXPECT_EQ(request.usertag(), "u1");
    EXPECT_FALSE(request.has_posid());
}

TEST_F(Trading, PriceThatCannotTravelIsRefusedLocally) {
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("AU2412", 1, std::nan(""));
    EXPECT_EQ(trader->orderInsert(entrust), -1);
    entrust->price = 1e9;
    EXPECT_EQ(trader->orderInsert(entrust), -1);
    entrust->release();
    trader->queryOrders();  // the next packet the server sees
    auto p = server.nextPacket();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->header.functionCode, FC_QRY_ORDERS);
    ASSERT_EQ(listener.countLogs(LOG_PRICE_REFUSED), 2u);
    for (const auto& l : listener.logsSnapshot()) {
        if (l.format != LOG_PRICE_REFUSED) continue;
        EXPECT_EQ(l.level, 104);
        EXPECT_NE(l.text.find("AU2412"), std::string::npos);
    }
}

TEST_F(Trading, NullArgumentsDoNotReachTheWire) {
    EXPECT_EQ(trader->orderInsert(nullptr), -1);
    EXPECT_EQ(trader->orderCancel(nullptr), -1);
    EXPECT_EQ(trader->login(nullptr, nullptr, nullptr), 0);  // null texts read as empty
    auto p = server.waitPacket(FC_CMD_LOGIN);
    ASSERT_TRUE(p.has_value());
    exchg_peer::ReqLogin request;
    ASSERT_TRUE(request.ParseFromString(p->payload));
    EXPECT_EQ(request.username(), "");
    EXPECT_EQ(request.password(), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(listener.countLogs(LOG_NULL_REQUEST), 2u);
}

TEST_F(Trading, EntrustAnswersWithAndWithoutError) {
    exchg_peer::AnsOrderInsert answer;
    answer.set_orderid(57);
    answer.set_result(0);
    answer.set_instrument("IF2412");
    answer.set_price(123456);
    answer.set_qty(1);
    answer.set_direct(exchg_peer::DT_Long);
    answer.set_offset(exchg_peer::OF_Open);
    answer.set_pxtype(exchg_peer::PT_LimitPrice);
    answer.set_timecond(exchg_peer::TC_ValidInDay);
    answer.set_usertag("u1");
    answer.set_message("accepted but chatty");
    server.send(packetOf(FC_CMD_ORDER_INSERT, answer));
    answer.set_result(-4);
    answer.clear_message();
    server.send(packetOf(FC_CMD_ORDER_INSERT, answer));
    ASSERT_TRUE(listener.waitFor([&] { return listener.entrustAnswers.size() == 2; }));
    EXPECT_EQ(listener.entrustAnswers[0].entrust->entrustId, "57");
    EXPECT_DOUBLE_EQ(listener.entrustAnswers[0].entrust->price, 12.3456);
    EXPECT_FALSE(listener.entrustAnswers[0].hasError);
    EXPECT_TRUE(listener.entrustAnswers[1].hasError);
    EXPECT_EQ(listener.entrustAnswers[1].errorCode, 1);
    EXPECT_EQ(listener.entrustAnswers[1].errorMessage, "");
}

TEST_F(Trading, CancelsAreSentByOrderIdAndRefusalsReported) {
    kra::NXSOrderAction* action = kra::NXSOrderAction::create();
    action->actionFlag = '1';
    action->orderId = "42";
    EXPECT_EQ(trader->orderCancel(action), -1);
    action->actionFlag = '0';
    action->orderId = "  42abc";
    EXPECT_EQ(trader->orderCancel(action), 0);
    action->release();
    auto p = server.nextPacket();
    ASSERT_TRUE(p.has_value());
    ASSERT_EQ(p->header.functionCode, FC_CMD_ORDER_CANCEL);
    exchg_peer::ReqOrderCancel request;
    ASSERT_TRUE(request.ParseFromString(p->payload));
    EXPECT_EQ(request.orderid(), 42u);

    exchg_peer::AnsOrderCancel answer;
    answer.set_orderid(42);
    answer.set_result(0);
    answer.set_message("ok");
    answer.set_usertag("");
    server.send(packetOf(FC_CMD_ORDER_CANCEL, answer));
    answer.set_result(-20);
    server.send(packetOf(FC_CMD_ORDER_CANCEL, answer));
    answer.set_result(-14);
    server.send(packetOf(FC_CMD_ORDER_CANCEL, answer));
    ASSERT_TRUE(listener.waitFor([&] { return listener.traderErrors.size() == 2; }));
    EXPECT_EQ(listener.traderErrors[0], std::make_pair(2, std::string("\xb5\xb1\xc7\xb0\xb6\xa9\xb5\xa5\xb2\xbb\xb4\xe6\xd4\xda")));
    EXPECT_EQ(listener.traderErrors[1], std::make_pair(2, std::string("\xc6\xe4\xcb\xfb\xb4\xed\xce\xf3")));
}

TEST_F(Trading, QueriesSendTheirCodesAndAnswersArriveAsArrays) {
    EXPECT_EQ(trader->queryAccount(), 0);
    EXPECT_EQ(trader->queryPositions(), 0);
    EXPECT_EQ(trader->queryOrders(), 0);
    EXPECT_EQ(trader->queryTrades(), 0);
    for (uint16_t code : {FC_QRY_ACCOUNT_INFO, FC_QRY_POSITION, FC_QRY_ORDERS, FC_QRY_TRADES}) {
        auto p = server.nextPacket();
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->header.functionCode, code);
        EXPECT_EQ(p->header.packetLength, PACKET_HEADER_SIZE);
    }
    loginAs("erin", loginAnswer(0, "", 20261207, 1));

    exchg_peer::AnsAccountInfo account;
    exchg_peer::AccountInfo* a = account.add_accinfos();
    a->set_accountid(1); a->set_balance(10000000); a->set_prebalance(0); a->set_margin(0);
    a->set_frozenmargin(0); a->set_closeprofit(0); a->set_deposit(0); a->set_withdraw(0);
    a->set_commission(0); a->set_frozencommission(0); a->set_available(5000000);
    exchg_peer::PositionList positions;
    exchg_peer::Position* pos = positions.add_positions();
    pos->set_accountid(1); pos->set_instrument("AU2412"); pos->set_direct(exchg_peer::DT_Long);
    pos->set_newvolumn(2); pos->set_prevolumn(0); pos->set_availnewvol(2); pos->set_avaliprevol(0);
    pos->set_positioncost(0); pos->set_margin(0); pos->set_amount(9600000000ULL);
    *positions.add_positions() = *pos;
    positions.mutable_positions(1)->set_instrument("UNKNOWN");
    exchg_peer::OrderList orders;
    for (uint32_t i = 0; i < 200; ++i) *orders.add_orders() = order(i + 1, "IF2412", 35000000, 1);

    server.send(packetOf(FC_QRY_ACCOUNT_INFO, account) + packetOf(FC_QRY_POSITION, positions) +
                compressedPacketOf(FC_QRY_ORDERS, orders) + packetOf(FC_QRY_TRADES, exchg_peer::TradeList()) +
                rawPacket(FC_HEART_BEAT, "") + rawPacket(FC_QRY_ORDERS, "\xff\xff") +  // consumed, dropped
                rawPacket(999, "") + packetOf(FC_QRY_TRADES, exchg_peer::TradeList()));
    ASSERT_TRUE(listener.waitFor([&] { return listener.tradeAnswers.size() == 2; }));
    ASSERT_EQ(listener.accountAnswers.size(), 1u);
    auto* funds = listener.accountAnswers[0]->itemAs<kra::NXSAccountInfo>(0);
    EXPECT_EQ(funds->accountName, "erin");
    EXPECT_DOUBLE_EQ(funds->balance, 1000.0);
    EXPECT_DOUBLE_EQ(funds->available, 500.0);
    ASSERT_EQ(listener.positionAnswers.size(), 1u);
    ASSERT_EQ(listener.positionAnswers[0]->count(), 1u);  // the unknown instrument is left out
    auto* item = listener.positionAnswers[0]->itemAs<kra::NXSPositionItem>(0);
    EXPECT_EQ(item->currency, "USD");
    EXPECT_DOUBLE_EQ(item->avgPrice, 480.0);  // 960000 / 2 / 1000
    ASSERT_EQ(listener.orderAnswers.size(), 1u);  // the malformed one was dropped
    EXPECT_EQ(listener.orderAnswers[0]->count(), 200u);
    EXPECT_EQ(listener.orderAnswers[0]->itemAs<kra::NXSOrderInfo>(199)->orderId, "200");
    EXPECT_EQ(listener.tradeAnswers[0]->count(), 0u);
    EXPECT_EQ(listener.countEvents(1, 0), 0u);  // the stream went on
}

TEST_F(Trading, LargeAnswersArriveWholeAgainAfterTheirMemoryWasGivenBack) {
    // Receives of several MiB, plain and compressed: the receive buffer's pages
    // and the decode scratch are given back after each, and what follows
    // must still decode byte for byte.
    exchg_peer::OrderList orders;
    for (uint32_t i = 0; i < 40000; ++i) *orders.add_orders() = order(i + 1, "IF2412", 35000000, 1);
    const std::string plain = packetOf(FC_QRY_ORDERS, orders);
    const std::string compressed = compressedPacketOf(FC_QRY_ORDERS, orders);
    for (int round = 0; round < 2; ++round) {
        server.send(plain + compressed + packetOf(FC_QRY_TRADES, exchg_peer::TradeList()));
        ASSERT_TRUE(listener.waitFor([&] { return listener.tradeAnswers.size() == static_cast<std::size_t>(round + 1); }));
    }
    ASSERT_EQ(listener.orderAnswers.size(), 4u);
    for (const auto& answer : listener.orderAnswers) {
        ASSERT_EQ(answer->count(), 40000u);
        EXPECT_EQ(answer->itemAs<kra::NXSOrderInfo>(0)->orderId, "1");
        EXPECT_EQ(answer->itemAs<kra::NXSOrderInfo>(39999)->orderId, "40000");
    }
    EXPECT_EQ(listener.countEvents(1, 0), 0u);
}

TEST_F(Trading, PositionsWithoutACatalogAreLeftOutWithOneWarning) {
    TestListener bare;  // its catalog is null
    trader->registerListener(&bare);
    exchg_peer::PositionList positions;
    exchg_peer::Position* pos = positions.add_positions();
    pos->set_accountid(1); pos->set_instrument("AU2412"); pos->set_direct(exchg_peer::DT_Long);
    pos->set_newvolumn(2); pos->set_prevolumn(0); pos->set_availnewvol(2); pos->set_avaliprevol(0);
    pos->set_positioncost(0); pos->set_margin(0); pos->set_amount(1);
    *positions.add_positions() = *pos;
    server.send(packetOf(FC_QRY_POSITION, positions));
    ASSERT_TRUE(bare.waitFor([&] { return bare.positionAnswers.size() == 1; }));
    EXPECT_EQ(bare.positionAnswers[0]->count(), 0u);
    EXPECT_EQ(bare.countLogs(LOG_NO_CATALOG), 1u);
    trader->registerListener(&listener);
    // Once the next answer reaches the new listener, the network thread has
    // left every call into `bare`, which may then go.
    server.send(packetOf(FC_QRY_ORDERS, exchg_peer::OrderList()));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderAnswers.size() == 1; }));
}

// A catalog that counts the host's contract lookups.
class CountingCatalog : public kra::SimpleContractCatalog {
public:
    const kra::NXSContractInfo* getContract(const char* code, const char* exchange) override {
        ++lookups;
        return SimpleContractCatalog::getContract(code, exchange);
    }
    std::atomic<int> lookups{0};
};

TEST_F(Trading, PositionsAskTheCatalogOncePerLineAndNameEachUnknownInstrumentOnce) {
    CountingCatalog counting;
    counting.addInstrument("IF2412", 300, "CNY");
    TestListener countingListener(&counting);
    trader->registerListener(&countingListener);
    exchg_peer::PositionList positions;
    auto add = [&](const char* code, uint32_t volume) {
        exchg_peer::Position* pos = positions.add_positions();
        pos->set_accountid(1); pos->set_instrument(code); pos->set_direct(exchg_peer::DT_Long);
        pos->set_newvolumn(volume); pos->set_prevolumn(0); pos->set_availnewvol(volume); pos->set_avaliprevol(0);
        pos->set_positioncost(0); pos->set_margin(0); pos->set_amount(30000000);
    };
    add("IF2412", 1);
    add("UNKNOWN", 2);
    add("IF2412", 3);
    add("UNKNOWN", 1);  // named once per answer
    add("EMPTY", 0);    // unknown, but holds nothing: left out without a word
    add("IF2412", 0);
    server.send(packetOf(FC_QRY_POSITION, positions));
    ASSERT_TRUE(countingListener.waitFor([&] { return countingListener.positionAnswers.size() == 1; }));
    EXPECT_EQ(countingListener.positionAnswers[0]->count(), 2u);
    EXPECT_EQ(counting.lookups.load(), 6);
    const auto named = countingListener.logsSnapshot();
    std::vector<std::string> unknown;
    for (const LogLine& l : named)
        if (l.format == LOG_POSITION_UNKNOWN_CONTRACT) unknown.push_back(l.text);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_NE(unknown[0].find("UNKNOWN"), std::string::npos);
    trader->registerListener(&listener);
    // Once the next answer reaches the fixture's listener, the network thread
    // has left every call into the counting one, which may then go.
    server.send(packetOf(FC_QRY_ORDERS, exchg_peer::OrderList()));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderAnswers.size() == 1; }));
}

}  // namespace
}  // namespace hvr::test
