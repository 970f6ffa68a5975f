// A server that stops answering and a queue that cannot drain: dead-peer
// detection (init key peertimeout) and the bounded send queue (sendqueue).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "support/PeerPackets.h"
#include "support/TraderSession.h"
#include "texts/LogText.h"

namespace hvr::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class DeadPeer : public ::testing::Test {
protected:
    void connect(const ConfigKeys& keys) {
        auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), ""}, keys);
        ASSERT_TRUE(trader->init(config.get()));
        trader->registerListener(&listener);
        trader->connect();
        ASSERT_TRUE(listener.waitForEvent(0, 0));
        ASSERT_TRUE(server.waitForConnections(1));
    }
    bool endedAtAll() {
        for (const TraderEvent& e : listener.eventsSnapshot())
            if (e.kind == 1) return true;
        return false;
    }

    ScriptedServer server;
    TempDir dir;
    TestListener listener;
    TraderHandle trader;
};

TEST_F(DeadPeer, ServerGoingQuietAfterHeartbeatsIsCutWithEtimedoutAndReconnected) {
    connect({{"peertimeout", "1"}});
    server.send(rawPacket(FC_HEART_BEAT, ""));
    // Traffic of any kind keeps the connection: a second and a half of
    // answers, each well within the limit of the one before.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(300ms);
        server.send(packetOf(FC_QRY_ORDERS, exchg_peer::OrderList()));
    }
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderAnswers.size() == 5; }));
    EXPECT_FALSE(endedAtAll());

    const auto quietFrom = Clock::now();
    ASSERT_TRUE(listener.waitForEvent(1, ETIMEDOUT));
    EXPECT_GE(Clock::now() - quietFrom, 500ms);  // not at once: after the limit of quiet
    ASSERT_TRUE(listener.waitForLog(LOG_PEER_SILENT));  // logged after the event
    const auto lines = listener.logsWith(LOG_PEER_SILENT);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 103);
    // "[TraderHVR]服务器1秒没有任何数据,断开连接,2秒后重连"
    EXPECT_EQ(lines[0].text,
              "[TraderHVR]\xb7\xfe\xce\xf1\xc6\xf7" "1\xc3\xeb\xc3\xbb\xd3\xd0\xc8\xce\xba\xce\xca\xfd\xbe\xdd,"
              "\xb6\xcf\xbf\xaa\xc1\xac\xbd\xd3," "2\xc3\xeb\xba\xf3\xd6\xd8\xc1\xac");
    // The usual reconnect; the receive the cut aborted adds no event.
    ASSERT_TRUE(server.waitForConnections(2));
    ASSERT_TRUE(listener.waitForEvent(0, 0, 2));
    std::size_t ends = 0;
    for (const TraderEvent& e : listener.eventsSnapshot()) ends += e.kind == 1;
    EXPECT_EQ(ends, 1u);
    EXPECT_EQ(listener.countLogs(LOG_RECEIVE_ERROR), 0u);
}

TEST_F(DeadPeer, ServerThatNeverSendsHeartbeatsIsNeverCutForQuiet) {
    connect({{"peertimeout", "1"}});
    EXPECT_FALSE(listener.waitFor([&] {
        for (const TraderEvent& e : listener.events)
            if (e.kind == 1) return true;
        return false;
    }, 2500ms));
    EXPECT_EQ(server.connectionCount(), 1);
}

// The server's host vanishes: the server runs in a network namespace of its
// own child process, where a firewall rule drops every packet it sends. The
// child reports the milliseconds from its first unacknowledged request to
// (1, ETIMEDOUT), or why it could not set the scene up.
TEST(VanishedPeer, UnacknowledgedRequestFailsTheConnectionWithinThePeerTimeout) {
    FILE* pipe = ::popen(HVR_VANISHED_CHILD_PATH " 2 2>&1", "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << output;
    ASSERT_EQ(WEXITSTATUS(status), 0) << output;
    const std::size_t at = output.find("timed out after ");
    ASSERT_NE(at, std::string::npos) << output;
    const long ms = std::stol(output.substr(at + 16));
    EXPECT_GE(ms, 1500) << output;  // the kernel's user timeout, not an immediate failure
    EXPECT_LE(ms, 6000) << output;
}

class SendQueue : public DeadPeer {
protected:
    // Places the same order until the call is refused; the count accepted.
    int fillQueue(kra::NXSEntrust* entrust) {
        for (int accepted = 0; accepted < 2000000; ++accepted)
            if (trader->orderInsert(entrust) != 0) return accepted;
        return -1;
    }
};

TEST_F(SendQueue, RequestsBeyondTheLimitAreRefusedAndNeverQueued) {
    server.pauseReading();
    connect({{"sendqueue", "65536"}});
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 1, 3500.2);
    int accepted = fillQueue(entrust);
    ASSERT_GT(accepted, 0) << "never refused";
    auto lines = listener.logsWith(LOG_SEND_QUEUE_FULL);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 104);
    // "[TraderHVR]发送队列已满(上限65536字节),已拒绝1个请求"
    EXPECT_EQ(lines[0].text,
              "[TraderHVR]\xb7\xa2\xcb\xcd\xb6\xd3\xc1\xd0\xd2\xd1\xc2\xfa(\xc9\xcf\xcf\xde" "65536\xd7\xd6\xbd\xda),"
              "\xd2\xd1\xbe\xdc\xbe\xf8" "1\xb8\xf6\xc7\xeb\xc7\xf3");
    // More refusals within the second add no line; the next line, a second
    // later, counts them all.
    int refused = 0;
    for (int i = 0; i < 100; ++i) {
        if (trader->orderInsert(entrust) == 0) ++accepted;
        else ++refused;
    }
    EXPECT_GT(refused, 90);  // the server reads nothing: the queue stays full
    EXPECT_EQ(listener.logsWith(LOG_SEND_QUEUE_FULL).size(), 1u);
    std::this_thread::sleep_for(1100ms);
    // An order again, not a shorter request: how full the queue stands
    // depends on what the socket took, and a 16-byte query may fit in the
    // gap a 41-byte order leaves.
    ASSERT_EQ(trader->orderInsert(entrust), -1);
    ++refused;
    lines = listener.logsWith(LOG_SEND_QUEUE_FULL);
    ASSERT_EQ(lines.size(), 2u);
    const std::string count = "\xd2\xd1\xbe\xdc\xbe\xf8" + std::to_string(refused) + "\xb8\xf6";  // "已拒绝N个"
    EXPECT_NE(lines[1].text.find(count), std::string::npos) << refused;

    // Once the server reads again, exactly the accepted orders arrive: the
    // refused ones were never queued.
    server.resumeReading();
    bool sentinelQueued = false;
    for (int i = 0; i < 2000 && !sentinelQueued; ++i) {
        sentinelQueued = trader->queryAccount() == 0;
        if (!sentinelQueued) std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(sentinelQueued);
    int orders = 0;
    for (;;) {
        auto p = server.nextPacket();
        ASSERT_TRUE(p.has_value()) << "after " << orders << " orders";
        if (p->header.functionCode == FC_QRY_ACCOUNT_INFO) break;
        orders += p->header.functionCode == FC_CMD_ORDER_INSERT;
    }
    EXPECT_EQ(orders, accepted);
    EXPECT_EQ(server.connectionCount(), 1);
    entrust->release();
}

}  // namespace
}  // namespace hvr::test
