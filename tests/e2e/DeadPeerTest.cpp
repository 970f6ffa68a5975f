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
    // Whether the connection ends (any (1, x)) before the time is up: a
    // healthy connection must stay up past it, however slow the machine.
    bool endsWithin(std::chrono::milliseconds time) {
        return listener.waitFor([&] {
            for (const TraderEvent& e : listener.events)
                if (e.kind == 1) return true;
            return false;
        }, time);
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
    // More than the limit passes before the heartbeat, so a watch that did
    // not count received bytes would cut at once after it.
    std::this_thread::sleep_for(1500ms);
    const auto lastByteSent = Clock::now();
    server.send(rawPacket(FC_HEART_BEAT, ""));
    ASSERT_TRUE(listener.waitForEvent(1, ETIMEDOUT));
    // Never sooner than the limit after the last byte (load only makes it later).
    EXPECT_GE(Clock::now() - lastByteSent, 1s);
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
    EXPECT_FALSE(endsWithin(2500ms));
    EXPECT_EQ(server.connectionCount(), 1);
}

// A server that answers the module's heartbeat with one of its own, and
// sends none otherwise: the echo is no sign that the server sends
// heartbeats, so a peertimeout below the heartbeat period must not cut it
// (it used to, after every echo).
TEST_F(DeadPeer, EchoOfTheModulesOwnHeartbeatDoesNotArmTheWatch) {
    connect({{"peertimeout", "1"}});
    ASSERT_TRUE(server.waitPacket(FC_HEART_BEAT, 20s));  // ten seconds after connecting
    server.send(rawPacket(FC_HEART_BEAT, ""));
    EXPECT_FALSE(endsWithin(2500ms));
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
    // Far below the kernel's own retransmission limit (about 15 minutes), and
    // far above what load adds to a 2-second timer.
    EXPECT_LE(ms, 15000) << output;
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

// Filled while there is no connection at all, so nothing drains: what is
// queued is decided by the limit alone. (When the line is due is the pure
// QueueFullLine's business, tested with a clock of its own.)
TEST_F(SendQueue, RequestsBeyondTheLimitAreRefusedAndNeverQueued) {
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), ""}, {{"sendqueue", "65536"}});
    ASSERT_TRUE(trader->init(config.get()));
    trader->registerListener(&listener);
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 1, 3500.2);
    const int accepted = fillQueue(entrust);
    ASSERT_GT(accepted, 0) << "never refused";
    const auto lines = listener.logsWith(LOG_SEND_QUEUE_FULL);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 104);
    // "[TraderHVR]发送队列已满(上限65536字节),已拒绝1个请求"
    EXPECT_EQ(lines[0].text,
              "[TraderHVR]\xb7\xa2\xcb\xcd\xb6\xd3\xc1\xd0\xd2\xd1\xc2\xfa(\xc9\xcf\xcf\xde" "65536\xd7\xd6\xbd\xda),"
              "\xd2\xd1\xbe\xdc\xbe\xf8" "1\xb8\xf6\xc7\xeb\xc7\xf3");
    for (int i = 0; i < 100; ++i) ASSERT_EQ(trader->orderInsert(entrust), -1) << i;
    entrust->release();

    // Once connected, exactly the accepted orders arrive: the refused ones
    // were never queued. The next request is queued once the last write has
    // completed, and is the next to arrive.
    trader->connect();
    for (int orders = 0; orders < accepted;) {
        auto p = server.nextPacket();
        ASSERT_TRUE(p.has_value()) << "after " << orders << " of " << accepted << " orders";
        orders += p->header.functionCode == FC_CMD_ORDER_INSERT;
    }
    const auto deadline = Clock::now() + 10s;
    while (trader->queryAccount() != 0) {
        ASSERT_LT(Clock::now(), deadline) << "the queue never drained";
        std::this_thread::sleep_for(1ms);
    }
    std::optional<ReceivedPacket> next;
    do next = server.nextPacket();  // a heartbeat may come first
    while (next && next->header.functionCode == FC_HEART_BEAT);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->header.functionCode, FC_QRY_ACCOUNT_INFO);
    EXPECT_EQ(server.connectionCount(), 1);
}

}  // namespace
}  // namespace hvr::test
