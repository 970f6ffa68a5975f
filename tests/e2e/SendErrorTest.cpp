// The send path's error paths against a server whose socket buffers are small
// and which reads nothing until told: a batch the server cuts off is dropped
// once, counted in its log line and never resent, and what queued behind it
// goes out on the next connection; a batch our own close cuts off before any
// byte left is put back and goes out once.
//
// The trader is linked in process so that its seams can reach the client
// socket: its send buffer is fixed at the smallest the system allows, so with
// the server's receive buffer small too the kernel holds a few KiB at most,
// whatever its defaults, autotuning or load, and a bigger batch stays in
// flight (the seam that starts the rest says so before the test acts); and
// the put-back case fills the socket until the kernel refuses a request
// while nothing can make room (SendSide.h), so nothing of it leaves before
// our close, however late the machine gets to it.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "host/NXSConfigNode.h"
#include "support/PeerPackets.h"
#include "support/ScriptedServer.h"
#include "support/SendSide.h"
#include "support/TempDir.h"
#include "support/TestListener.h"
#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr::test {
namespace {

using namespace std::chrono_literals;

// A 524-byte segment leaves 512 bytes of data per segment once the
// timestamp option is taken off: a multiple of the 16-byte packet of a
// query, so a stream of queries fills the client's buffer to a packet
// boundary, and the first query that does not fit finds no room at all.
constexpr ServerSockets SMALL_BUFFERS{1, 524};

class SendErrors : public ::testing::Test {
protected:
    void SetUp() override {
        server.pauseReading();
        kra::NXSMapNode config;
        config.set("host", "127.0.0.1").set("port", server.portText()).set("folder", dir.prefix());
        trader.init(&config);
        trader.registerListener(&listener);
        TraderHVR::TestSeams seams;
        seams.afterConnected = [this](int descriptor) {
            const int smallest = 1;  // raised to the system's minimum, and no longer tuned
            ::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
            clientSocket = descriptor;
        };
        seams.asyncWriteStarting = [this] {
            {
                std::lock_guard<std::mutex> guard(writesLock);
                ++writesStarted;
            }
            writeStarted.notify_all();
        };
        trader.setSeamsForTests(seams);
    }
    void TearDown() override { trader.release(); }

    // Connects, then makes queries, each written by its own call, until the
    // kernel refuses one while the server reads nothing: *made says how many.
    void connectAndSeal(int* made) {
        trader.connect();
        ASSERT_TRUE(listener.waitForEvent(0, 0));
        ASSERT_TRUE(server.waitForConnections(1));
        const std::optional<int> filled =
            fillUntilRefusedWhileSealed(clientSocket.load(), [&] { EXPECT_EQ(trader.queryAccount(), 0); }, 1000000);
        ASSERT_TRUE(filled.has_value()) << "the kernel never refused a query while its send queue was sealed";
        *made = *filled;
    }
    void connectReplacingAConnectionTheServerStoppedReading();

    // True once a write is in flight: the socket did not take a batch whole.
    bool waitForWriteInFlight() {
        std::unique_lock<std::mutex> guard(writesLock);
        return writeStarted.wait_for(guard, 10s, [&] { return writesStarted > 0; });
    }
    void placeOrder(const std::string& tag) {
        kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 1, 3500.2);
        entrust->userTag = tag;
        ASSERT_EQ(trader.orderInsert(entrust), 0);
        entrust->release();
    }
    // The two counts of the first drop line, or {-1, -1}: the line's own
    // format reads them back.
    std::pair<int, int> dropCounts() {
        for (const LogLine& l : listener.logsSnapshot()) {
            int total = -1, whole = -1;
            if (l.format == LOG_SEND_ERROR && std::sscanf(l.text.c_str(), LOG_SEND_ERROR, &total, &whole) == 2)
                return {total, whole};
        }
        return {-1, -1};
    }

    ScriptedServer server{"127.0.0.1", 0, SMALL_BUFFERS};
    TempDir dir;
    TestListener listener;
    std::mutex writesLock;
    std::condition_variable writeStarted;
    int writesStarted = 0;
    std::atomic<int> clientSocket{-1};  // of the newest connection
    TraderHVR trader;  // last: gone before what its seams use
};

TEST_F(SendErrors, BatchTheServerCutsOffIsDroppedCountedAndNeverResent) {
    // Queued before the connection exists: the first write takes them all as
    // one batch, far more than the buffers hold (about 45 KB).
    constexpr int ORDERS = 1000;
    for (int i = 0; i < ORDERS; ++i) placeOrder("cut-" + std::to_string(i));
    trader.connect();
    ASSERT_TRUE(listener.waitForEvent(0, 0));
    ASSERT_TRUE(server.waitForConnections(1));
    ASSERT_TRUE(waitForWriteInFlight()) << "the socket took the whole batch";
    server.resetConnection();
    ASSERT_TRUE(listener.waitForLog(LOG_SEND_ERROR));
    const auto [total, whole] = dropCounts();
    EXPECT_EQ(total, ORDERS);
    EXPECT_GE(whole, 0);
    EXPECT_LT(whole, ORDERS);
    EXPECT_EQ(listener.countLogs(LOG_SEND_ERROR), 1u);

    // The next connection carries what comes after, and nothing of the batch.
    server.resumeReading();
    ASSERT_TRUE(listener.waitForEvent(0, 0, 2));
    placeOrder("after");
    std::set<std::string> tags;
    for (;;) {
        auto p = server.waitPacket(FC_CMD_ORDER_INSERT);
        ASSERT_TRUE(p.has_value());
        exchg_peer::ReqOrderInsert request;
        ASSERT_TRUE(request.ParseFromString(p->payload));
        tags.insert(request.usertag());
        if (request.usertag() == "after") break;
    }
    EXPECT_EQ(tags, std::set<std::string>{"after"});
}

TEST_F(SendErrors, BatchOurCloseCutsOffBeforeAnyByteLeftIsPutBackAndSentOnce) {
    // Each query is written by its own call until the kernel refuses one
    // while nothing can make room: that one waits as a write in flight with
    // nothing of it sent, and the rest queue behind it.
    int queries = 0;
    ASSERT_NO_FATAL_FAILURE(connectAndSeal(&queries));
    for (int i = 0; i < 100; ++i, ++queries) ASSERT_EQ(trader.queryAccount(), 0);
    trader.connect();  // our own close, with that write in flight
    ASSERT_TRUE(listener.waitForLog(LOG_SEND_PUT_BACK));
    const auto putBack = listener.logsSnapshot();
    // "[TraderHVR]连接关闭时1个请求未发出,重连后发送": the one query in flight.
    for (const LogLine& l : putBack) {
        if (l.format != LOG_SEND_PUT_BACK) continue;
        EXPECT_EQ(l.level, 102);
        EXPECT_EQ(l.text, "[TraderHVR]\xc1\xac\xbd\xd3\xb9\xd8\xb1\xd5\xca\xb1"
                          "1\xb8\xf6\xc7\xeb\xc7\xf3\xce\xb4\xb7\xa2\xb3\xf6,\xd6\xd8\xc1\xac\xba\xf3\xb7\xa2\xcb\xcd");
    }
    EXPECT_EQ(listener.countLogs(LOG_SEND_ERROR), 0u);

    // Every query arrives exactly once: the ones written before the close on
    // the first connection, the rest on the second. Their request numbers
    // all belong to the first connection, so each names one query.
    server.resumeReading();
    std::map<uint32_t, int> seen;
    std::set<int> connections;
    for (int i = 0; i < queries; ++i) {
        auto p = server.waitPacket(FC_QRY_ACCOUNT_INFO);
        ASSERT_TRUE(p.has_value()) << "after " << i << " queries";
        ++seen[p->header.requestNo];
        connections.insert(p->connection);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(queries));
    EXPECT_EQ(seen.begin()->first, 1u);
    EXPECT_EQ(seen.rbegin()->first, static_cast<uint32_t>(queries));
    EXPECT_EQ(connections, (std::set<int>{1, 2}));
}

// Our own close while the server had not yet acknowledged what the kernel
// was handed: a close that resets the connection (bytes received and unread,
// or arriving after it) destroys those requests in the kernel, and they used
// to be lost without a word. The server here sends after our close, which
// makes the reset certain: every query written whole to the kernel (all but
// the refused one, which is put back) reaches it or is counted in the
// close's line.
TEST_F(SendErrors, RequestsTheServerHadNotAcknowledgedAtOurCloseAreCounted) {
    int filled = 0;
    ASSERT_NO_FATAL_FAILURE(connectAndSeal(&filled));
    trader.disconnect();  // our own close; the refused query is put back and stays queued
    ASSERT_TRUE(listener.waitForLog(LOG_SEND_PUT_BACK));  // logged after the close
    server.send(rawPacket(FC_HEART_BEAT, ""));
    server.resumeReading();
    ASSERT_TRUE(server.waitForEnd(1));
    int arrived = 0;
    for (const ReceivedPacket& p : server.drainPackets()) arrived += p.header.functionCode == FC_QRY_ACCOUNT_INFO;
    int unconfirmed = 0;
    for (const LogLine& l : listener.logsWith(LOG_UNCONFIRMED_AT_CLOSE)) {
        int count = 0;
        ASSERT_EQ(std::sscanf(l.text.c_str(), LOG_UNCONFIRMED_AT_CLOSE, &count), 1) << l.text;
        EXPECT_EQ(l.level, 104);
        unconfirmed += count;
    }
    // Each arrived, or is counted (the server may have taken some or all of
    // them while our close waited for its acknowledgement, and one counted
    // may still have made it in the instant before the close).
    EXPECT_LE(arrived, filled - 1);
    EXPECT_GE(arrived + unconfirmed, filled - 1);
}

// A connect on a live connection the server stopped reading: our close of
// the old one waits for its acknowledgement (the timeout ends it here), and
// the new attempt starts only after it, so the close still counts what was
// unacknowledged on the old connection before the new one takes the send
// queue's record. On a pool thread the wait is a timer, and the attempt waits
// for it there too.
void SendErrors::connectReplacingAConnectionTheServerStoppedReading() {
    int filled = 0;
    ASSERT_NO_FATAL_FAILURE(connectAndSeal(&filled));
    trader.connect();
    ASSERT_TRUE(listener.waitForEvent(0, 0, 2));
    int unconfirmedAt = -1, secondStartAt = -1, starts = 0;
    const std::vector<LogLine> logs = listener.logsSnapshot();
    for (int i = 0; i < static_cast<int>(logs.size()); ++i) {
        if (logs[i].format == LOG_UNCONFIRMED_AT_CLOSE && unconfirmedAt < 0) unconfirmedAt = i;
        if (logs[i].format == LOG_CONNECT_START && ++starts == 2) secondStartAt = i;
    }
    ASSERT_GE(unconfirmedAt, 0) << "the close of the first connection counted nothing";
    EXPECT_LT(unconfirmedAt, secondStartAt);
}

TEST_F(SendErrors, AConnectOnALiveConnectionStartsAfterOurCloseOfItHasSettled) {
    connectReplacingAConnectionTheServerStoppedReading();
}

TEST_F(SendErrors, OnAPoolThreadTooAConnectStartsAfterOurCloseHasSettled) {
    kra::NXSMapNode config;
    config.set("host", "127.0.0.1").set("port", server.portText()).set("folder", dir.prefix());
    config.set("threads", "shared").set("poolthreads", "1");
    trader.init(&config);
    connectReplacingAConnectionTheServerStoppedReading();
}

}  // namespace
}  // namespace hvr::test
