// The trader's receive path driven in process through feedReceivedForTools:
// the same appending, framing, inflating, dispatch, conversion and listener
// calls that handleRead runs for bytes read from the socket.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/NXSConfigNode.h"
#include "ops/FlowFile.h"
#include "support/PeerPackets.h"
#include "support/TestListener.h"
#include "support/TempDir.h"
#include "trader/TraderHVR.h"

namespace hvr::test {
namespace {

class ReceivePath : public ::testing::Test {
protected:
    ReceivePath() {
        kra::NXSMapNode config;
        config.set("host", "127.0.0.1").set("port", "1").set("folder", folder.prefix());
        trader.init(&config);
        trader.registerListener(&listener);
    }

    bool feed(const std::string& bytes) {
        return trader.feedReceivedForTools(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }

    // Login answer, an order push, a fill push and a compressed order list.
    static std::string sessionStream() {
        exchg_peer::OrderList list;
        for (uint32_t i = 0; i < 30; ++i) *list.add_orders() = order(100 + i, "IF2412", 35002000, 2);
        return packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261207, 9)) +
               pushPacket(41, FC_PUSH_ORDER, order(77, "IF2412", 35002000, 3)) +
               pushPacket(42, FC_PUSH_TRADE, trade(88, 77, "IF2412", 35002000, 3)) +
               compressedPacketOf(FC_QRY_ORDERS, list);
    }

    void expectSessionDelivered() {
        ASSERT_EQ(listener.loginResults.size(), 1u);
        EXPECT_TRUE(listener.loginResults[0].succeeded);
        ASSERT_EQ(listener.orderPushes.size(), 1u);
        EXPECT_EQ(listener.orderPushes[0]->entrustId, "77");
        EXPECT_EQ(listener.orderPushes[0]->volume, 3u);
        EXPECT_DOUBLE_EQ(listener.orderPushes[0]->price, 3500.2);
        ASSERT_EQ(listener.tradePushes.size(), 1u);
        EXPECT_EQ(listener.tradePushes[0]->tradeId, "88");
        EXPECT_EQ(listener.tradePushes[0]->orderId, "77");
        ASSERT_EQ(listener.orderAnswers.size(), 1u);
        ASSERT_EQ(listener.orderAnswers[0]->count(), 30u);
        EXPECT_EQ(listener.orderAnswers[0]->itemAs<kra::NXSOrderInfo>(29)->entrustId, "129");
    }

    // The push id stored in the flow record of the (empty) user name.
    int64_t storedPushId() {
        std::ifstream file(folder.prefix() + ".flow", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (bytes.size() < FLOW_FILE_SIZE) return -1;
        return loadRecordPushId(reinterpret_cast<const uint8_t*>(bytes.data()));
    }

    TempDir folder;
    TestListener listener;
    TraderHVR trader;
};

TEST_F(ReceivePath, WholeStreamDeliversEveryPacketAndStoresTheLastPushId) {
    ASSERT_TRUE(feed(sessionStream()));
    expectSessionDelivered();
    EXPECT_EQ(storedPushId(), 42);
}

TEST_F(ReceivePath, SplitAtEveryOffsetDeliversEachPacketOnce) {
    const std::string stream = sessionStream();
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        TestListener fresh;
        trader.registerListener(&fresh);
        ASSERT_TRUE(feed(stream.substr(0, cut))) << "cut at " << cut;
        ASSERT_TRUE(feed(stream.substr(cut))) << "cut at " << cut;
        ASSERT_EQ(fresh.orderPushes.size(), 1u) << "cut at " << cut;
        ASSERT_EQ(fresh.tradePushes.size(), 1u) << "cut at " << cut;
        ASSERT_EQ(fresh.orderAnswers.size(), 1u) << "cut at " << cut;
        trader.registerListener(nullptr);
    }
}

TEST_F(ReceivePath, OneByteAtATimeDeliversTheSame) {
    const std::string stream = sessionStream();
    for (char byte : stream) ASSERT_TRUE(feed(std::string(1, byte)));
    expectSessionDelivered();
}

TEST_F(ReceivePath, BadMagicIsRefusedAndTheBufferStartsOver) {
    std::string bad = pushPacket(1, FC_PUSH_ORDER, order(1, "IF2412", 35002000, 1));
    bad[OFFSET_MAGIC] = 0x12;
    EXPECT_FALSE(feed(bad.substr(0, 20)));
    // Nothing of the refused bytes is kept: a whole packet after them frames.
    ASSERT_TRUE(feed(sessionStream()));
    expectSessionDelivered();
}

TEST_F(ReceivePath, CompressedPayloadOfTheWrongSizeIsRefused) {
    const std::string good = compressedPacketOf(FC_QRY_ORDERS, exchg_peer::OrderList());
    std::string wrongSize = good;
    writeLE32(reinterpret_cast<uint8_t*>(&wrongSize[0]) + OFFSET_RAW_LENGTH,
              readLE32(reinterpret_cast<const uint8_t*>(good.data()) + OFFSET_RAW_LENGTH) + 1);
    EXPECT_FALSE(feed(wrongSize));
    EXPECT_TRUE(listener.orderAnswers.empty());
}

// A host that keeps only some of what it is handed: every order and fill
// whose id is even is retained (and recorded by TestListener), the others are
// only looked at during the call.
class KeepsEvenIds : public TestListener {
public:
    void onOrderPush(kra::NXSOrderInfo* o) override {
        seenOrders.push_back(o->entrustId);
        if (std::stoul(o->entrustId) % 2 == 0) TestListener::onOrderPush(o);
    }
    void onTradePush(kra::NXSTradeInfo* t) override {
        seenTrades.push_back(t->tradeId);
        if (std::stoul(t->tradeId) % 2 == 0) TestListener::onTradePush(t);
    }
    std::vector<std::string> seenOrders, seenTrades;
};

std::string ordersAndFills(uint32_t first, uint32_t count) {
    std::string stream = packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261207, 9));
    for (uint32_t id = first; id < first + count; ++id) {
        exchg_peer::Order o = order(id, "IF2412", 35002000, id);
        o.set_usertag("a tag longer than fifteen characters " + std::to_string(id));
        stream += pushPacket(id, FC_PUSH_ORDER, o) + pushPacket(id, FC_PUSH_TRADE, trade(id, id, "AU2412", 100, id));
    }
    return stream;
}

TEST_F(ReceivePath, RecordsTheHostKeepsAreNeverOverwrittenByLaterPushes) {
    KeepsEvenIds keeper;
    trader.registerListener(&keeper);
    ASSERT_TRUE(feed(ordersAndFills(1, 9)));
    ASSERT_EQ(keeper.seenOrders.size(), 9u);
    for (uint32_t i = 0; i < 9; ++i) EXPECT_EQ(keeper.seenOrders[i], std::to_string(i + 1));
    ASSERT_EQ(keeper.orderPushes.size(), 4u);
    ASSERT_EQ(keeper.tradePushes.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string id = std::to_string(2 * (i + 1));
        EXPECT_EQ(keeper.orderPushes[i]->entrustId, id);
        EXPECT_EQ(keeper.orderPushes[i]->volume, 2 * (i + 1));
        EXPECT_EQ(keeper.orderPushes[i]->userTag, "a tag longer than fifteen characters " + id);
        EXPECT_EQ(keeper.orderPushes[i]->retainCount(), 1u);  // the host's reference alone
        EXPECT_EQ(keeper.tradePushes[i]->tradeId, id);
        EXPECT_EQ(keeper.tradePushes[i]->retainCount(), 1u);
    }
    trader.registerListener(&listener);
}

TEST(ReceivePathRecords, KeptRecordsOutliveTheTraderAndAreReleasedOnAnotherThread) {
    TempDir folder;
    KeepsEvenIds keeper;
    auto trader = std::make_unique<TraderHVR>();
    kra::NXSMapNode config;
    config.set("host", "127.0.0.1").set("port", "1").set("folder", folder.prefix());
    trader->init(&config);
    trader->registerListener(&keeper);
    const std::string stream = ordersAndFills(1, 6);
    ASSERT_TRUE(trader->feedReceivedForTools(reinterpret_cast<const uint8_t*>(stream.data()), stream.size()));
    trader.reset();  // the trader and the records it kept for reuse are gone
    std::thread host([&] {
        std::lock_guard<std::mutex> guard(keeper.lock);
        for (kra::NXSOrderInfo* o : keeper.orderPushes) {
            EXPECT_EQ(o->code, "IF2412");
            o->release();
        }
        for (kra::NXSTradeInfo* t : keeper.tradePushes) {
            EXPECT_EQ(t->code, "AU2412");
            t->release();
        }
        keeper.orderPushes.clear();
        keeper.tradePushes.clear();
    });
    host.join();
}

// The process's data segment (heap and private mappings), KiB.
long dataKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 7, "VmData:") == 0) return std::stol(line.substr(7));
    return -1;
}

// A host that makes and deletes many traders gets each one's memory back at
// deleteTrader (over 4 MiB each with its receive buffer), even when other
// allocations made meanwhile stay: otherwise the heap keeps it reserved and a
// later fork() can fail for want of memory to account for it.
TEST(TraderMemory, DeletedTradersGiveTheirMemoryBack) {
    std::vector<std::unique_ptr<TraderHVR>> traders;
    traders.push_back(std::make_unique<TraderHVR>());
    traders.clear();  // malloc would move its mapping threshold above the object's size here
    std::vector<std::unique_ptr<std::string>> kept;
    const long before = dataKiB();
    for (int i = 0; i < 100; ++i) {
        traders.push_back(std::make_unique<TraderHVR>());
        kept.push_back(std::make_unique<std::string>(64, 'x'));  // between the traders, kept
    }
    traders.clear();
    EXPECT_LT(dataKiB() - before, 100 * 1024) << "100 traders hold over 400 MiB";
}

}  // namespace
}  // namespace hvr::test
