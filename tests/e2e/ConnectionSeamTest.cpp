// Interleavings of host threads and the network thread that loopback timing
// alone rarely shows, forced through the trader's test seams. The trader is
// linked in process (not loaded with dlopen) so that the test can set them;
// the server is the scripted loopback one.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "host/NXSConfigNode.h"
#include "support/PeerPackets.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/TestListener.h"
#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr::test {
namespace {

class ConnectionSeam : public ::testing::Test {
protected:
    void SetUp() override {
        kra::NXSMapNode config;
        config.set("host", "127.0.0.1").set("port", server.portText()).set("folder", folder.prefix());
        trader.init(&config);
        trader.registerListener(&listener);
    }
    void TearDown() override { trader.release(); }

    ScriptedServer server;
    TempDir folder;
    TestListener listener;
    TraderHVR trader;
};

// A host connect() right after the network thread decided "connected" (the
// seam holds the thread there) replaces that connection. Requests queued
// before must go out on the connection that replaced it, not be flushed onto
// the socket the replacement closes.
TEST_F(ConnectionSeam, ConnectRightAfterConnectedNeverFlushesOntoTheReplacedSocket) {
    ASSERT_EQ(trader.queryAccount(), 0);  // queued: no connection yet
    std::atomic<int> connectedSteps{0};
    TraderHVR::TestSeams seams;
    seams.afterConnected = [&](int) {
        if (++connectedSteps == 1) trader.connect();
    };
    trader.setSeamsForTests(seams);
    trader.connect();
    auto query = server.waitPacket(FC_QRY_ACCOUNT_INFO);
    ASSERT_TRUE(query.has_value());
    EXPECT_EQ(query->connection, 2);
    ASSERT_TRUE(listener.waitForEvent(0, 0, 2));
    EXPECT_EQ(listener.countLogs(LOG_SEND_ERROR), 0u);
}

// What a host thread's non-blocking send leaves over goes on asynchronously,
// and the socket object that does it is touched by the network thread only.
TEST_F(ConnectionSeam, AsynchronousWritesStartOnTheNetworkThreadOnly) {
    std::mutex lock;
    std::set<std::thread::id> writers;
    std::thread::id networkThread;
    std::atomic<bool> anyWrite{false};
    TraderHVR::TestSeams seams;
    seams.afterConnected = [&](int) {
        std::lock_guard<std::mutex> guard(lock);
        networkThread = std::this_thread::get_id();
    };
    seams.asyncWriteStarting = [&] {
        std::lock_guard<std::mutex> guard(lock);
        writers.insert(std::this_thread::get_id());
        anyWrite = true;
    };
    trader.setSeamsForTests(seams);
    server.pauseReading();
    trader.connect();
    ASSERT_TRUE(listener.waitForEvent(0, 0));

    // Fills the socket buffers until a send leaves something over.
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 1, 3500.2);
    int placed = 0;
    for (; placed < 2000000 && !anyWrite; ++placed) ASSERT_EQ(trader.orderInsert(entrust), 0);
    entrust->release();
    ASSERT_TRUE(anyWrite.load());
    server.resumeReading();
    ASSERT_EQ(trader.queryAccount(), 0);
    int orders = 0;
    for (;;) {
        auto p = server.nextPacket();
        ASSERT_TRUE(p.has_value()) << "after " << orders << " of " << placed << " orders";
        if (p->header.functionCode == FC_QRY_ACCOUNT_INFO) break;
        orders += p->header.functionCode == FC_CMD_ORDER_INSERT;
    }
    EXPECT_EQ(orders, placed);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(writers, std::set<std::thread::id>{networkThread});
}

}  // namespace
}  // namespace hvr::test
