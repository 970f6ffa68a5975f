// Interleavings of host threads and the network thread that loopback timing
// alone rarely shows, forced through the trader's test seams. The trader is
// linked in process (not loaded with dlopen) so that the test can set them;
// the server is the scripted loopback one.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "host/NXSConfigNode.h"
#include "support/FlowBytes.h"
#include "support/PeerPackets.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/TestListener.h"
#include "support/ThreadState.h"
#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr::test {
namespace {

using namespace std::chrono_literals;

class ConnectionSeam : public ::testing::Test {
protected:
    void SetUp() override { configure(false); }
    void configure(bool shared) {
        kra::NXSMapNode config;
        config.set("host", "127.0.0.1").set("port", server.portText()).set("folder", folder.prefix());
        if (shared) config.set("threads", "shared").set("poolthreads", "1");
        trader.init(&config);
        trader.registerListener(&listener);
    }
    // A read that takes the server's bytes at once, started after release
    // has handed its close step to the network thread: the close step ran
    // first and closed the flow record, then the host was handed a push whose
    // id the record no longer kept, and the next login asked for it again.
    // The bytes of a connection our close has ended are dropped instead: the
    // record holds the last push the host was handed.
    void pushReadBehindTheCloseStep() {
        std::atomic<bool> armed{false};
        std::promise<void> releaseStarted;
        std::thread releasing;
        TraderHVR::TestSeams seams;
        seams.readStarting = [&] {
            if (!armed.exchange(false)) return;
            server.send(pushPacket(6, FC_PUSH_ORDER, order(6, "IF2412", 35000000, 1)));
            EXPECT_TRUE(server.waitAcknowledged());  // in the socket: the read takes it at once
            std::atomic<pid_t> releaser{0};
            releasing = std::thread([&] {
                releaser = static_cast<pid_t>(::syscall(SYS_gettid));
                trader.release();
            });
            // Past its logout, release sleeps only in its wait for the close step.
            EXPECT_TRUE(server.waitPacket(FC_CMD_LOGOUT).has_value());
            while (releaser == 0 || threadState(releaser) != 'S') std::this_thread::yield();
            releaseStarted.set_value();
        };
        trader.setSeamsForTests(seams);
        trader.connect();
        ASSERT_TRUE(listener.waitForEvent(0, 0));
        trader.login("alice", "pw", "desk");
        ASSERT_TRUE(server.waitPacket(FC_CMD_LOGIN).has_value());
        server.send(packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261208, 1)) +
                    pushPacket(5, FC_PUSH_ORDER, order(5, "IF2412", 35000000, 1)));
        ASSERT_TRUE(listener.waitFor([&] { return listener.orderPushes.size() == 1; }));
        armed = true;
        server.send(packetOf(FC_QRY_ORDERS, exchg_peer::OrderList()));  // a read, and the next one starts
        ASSERT_EQ(releaseStarted.get_future().wait_for(10s), std::future_status::ready);
        releasing.join();
        EXPECT_EQ(listener.orderPushes.size(), 1u);
        EXPECT_EQ(fileBytes(folder.prefix() + "alice.flow"), flowBytes(5, 20261208));
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

TEST_F(ConnectionSeam, PushReadBehindReleasesCloseStepIsDroppedNotHandedOverUnrecorded) {
    pushReadBehindTheCloseStep();
}

TEST_F(ConnectionSeam, OnAPoolThreadTooAPushReadBehindTheCloseStepIsDropped) {
    configure(true);
    pushReadBehindTheCloseStep();
}

}  // namespace
}  // namespace hvr::test
