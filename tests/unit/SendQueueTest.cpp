// The send queue's accounting, alone: how each batch ends, and that a batch
// never goes on on another connection than the one it started on. The live
// "descriptor" is a pipe, on which send() fails, so every batch takes the
// asynchronous way through a carrier that records what it is asked to write;
// the test completes each write as the socket would. The test thread plays
// the network thread throughout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "net/WireFormat.h"
#include "support/TestListener.h"
#include "texts/LogText.h"
#include "trader/SendQueue.h"

namespace hvr::test {
namespace {

struct RecordingCarrier final : SendQueue::Carrier {
    void writeAsync(const char* data, std::size_t size, uint64_t attempt) override {
        writes.emplace_back(std::string(data, size), attempt);
    }
    std::vector<std::pair<std::string, uint64_t>> writes;
};

class SendQueueAccounting : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(pipe), 0);
        reporter.setListener(&listener);
    }
    void TearDown() override {
        ::close(pipe[0]);
        ::close(pipe[1]);
    }

    static std::string request(uint32_t functionCode, uint32_t requestNo) {
        std::string bytes;
        appendRequestPacket(bytes, functionCode, requestNo, nullptr, 0);
        return bytes;
    }
    template <typename... Args>
    static std::string line(const char* format, Args... args) {
        char text[256];
        std::snprintf(text, sizeof text, format, args...);
        return text;
    }

    int pipe[2] = {-1, -1};
    boost::asio::io_context io;
    EventLoop loop{io};
    NetworkThread thread;
    NetworkThread::Scope playing{thread};
    TestListener listener;
    Reporter reporter;
    RecordingCarrier carrier;
    SendQueue queue{loop, thread, reporter, carrier};
};

TEST_F(SendQueueAccounting, BatchOurCloseCutOffBeforeAnyByteGoesBackAheadOfLaterRequests) {
    thread.assertCurrent();  // the fixture plays the network thread
    queue.publish(pipe[1], 1);
    ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_ORDERS, 1));
    ASSERT_EQ(carrier.writes.size(), 1u);
    EXPECT_EQ(carrier.writes[0], std::make_pair(request(FC_QRY_ORDERS, 1), uint64_t{1}));
    ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_TRADES, 2));  // waits behind the write in flight
    EXPECT_EQ(carrier.writes.size(), 1u);

    queue.withdraw();  // the connection ends, and our close aborts the write
    queue.handleWrite(boost::asio::error::operation_aborted, 0, 1);
    EXPECT_EQ(carrier.writes.size(), 1u);  // nothing goes out without a connection
    EXPECT_EQ(listener.logsWith(LOG_SEND_PUT_BACK).at(0).text, line(LOG_SEND_PUT_BACK, 1));

    queue.publish(pipe[1], 2);
    queue.flush();
    ASSERT_EQ(carrier.writes.size(), 2u);
    EXPECT_EQ(carrier.writes[1],
              std::make_pair(request(FC_QRY_ORDERS, 1) + request(FC_QRY_TRADES, 2), uint64_t{2}));
    EXPECT_EQ(listener.countLogs(LOG_SEND_ERROR), 0u);
}

TEST_F(SendQueueAccounting, BatchCutOffPartWayIsDroppedAndNeverGoesOnOnTheNextConnection) {
    thread.assertCurrent();
    const std::string first = request(FC_QRY_ORDERS, 1);
    const std::string second = request(FC_QRY_TRADES, 2);
    ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_ORDERS, 1));  // no connection yet: both wait
    ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_TRADES, 2));
    queue.publish(pipe[1], 1);
    queue.flush();
    ASSERT_EQ(carrier.writes.size(), 1u);
    EXPECT_EQ(carrier.writes[0].first, first + second);

    // A short write on the same connection goes on with the rest.
    queue.handleWrite({}, first.size() + 4, 1);
    ASSERT_EQ(carrier.writes.size(), 2u);
    EXPECT_EQ(carrier.writes[1], std::make_pair(second.substr(4), uint64_t{1}));

    // The connection is replaced while the rest is in flight: its next short
    // completion must not carry the half request over to the new connection.
    queue.withdraw();
    queue.publish(pipe[1], 2);
    ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_POSITION, 1));
    queue.handleWrite({}, 2, 1);
    ASSERT_EQ(listener.logsWith(LOG_SEND_ERROR).size(), 1u);
    EXPECT_EQ(listener.logsWith(LOG_SEND_ERROR)[0].text, line(LOG_SEND_ERROR, 2, 1));  // one had left whole
    ASSERT_EQ(carrier.writes.size(), 3u);
    EXPECT_EQ(carrier.writes[2], std::make_pair(request(FC_QRY_POSITION, 1), uint64_t{2}));

    // A write that fails on the wire is dropped too, and the queue goes on.
    ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_ACCOUNT_INFO, 2));
    queue.handleWrite(boost::asio::error::connection_reset, 0, 2);
    EXPECT_EQ(listener.logsWith(LOG_SEND_ERROR).at(1).text, line(LOG_SEND_ERROR, 1, 0));
    ASSERT_EQ(carrier.writes.size(), 4u);
    EXPECT_EQ(carrier.writes[3].first, request(FC_QRY_ACCOUNT_INFO, 2));
    EXPECT_EQ(listener.countLogs(LOG_SEND_PUT_BACK), 0u);
}

// Our own close of a connection counts the requests the server had not
// acknowledged whole: those written past the bytes it acknowledged, and
// those of a batch in flight that turns out written whole after the close.
TEST_F(SendQueueAccounting, OwnCloseCountsTheRequestsTheServerHadNotAcknowledged) {
    thread.assertCurrent();
    const std::size_t query = request(FC_QRY_ORDERS, 1).size();
    queue.publish(pipe[1], 1);
    for (uint32_t n = 1; n <= 3; ++n) {  // written whole one by one: they end at 16, 32 and 48
        ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_ORDERS, n));
        queue.handleWrite({}, query, 1);
    }
    ASSERT_TRUE(queue.queueEmptyRequest(FC_CMD_LOGOUT, 4));  // not a request the host made
    queue.handleWrite({}, query, 1);
    ASSERT_TRUE(queue.queueEmptyRequest(FC_QRY_TRADES, 5));  // in flight at the close
    queue.withdraw();
    queue.ownClose(1, 20);  // the first was acknowledged whole, the second only in part
    ASSERT_EQ(listener.logsWith(LOG_UNCONFIRMED_AT_CLOSE).size(), 1u);
    EXPECT_EQ(listener.logsWith(LOG_UNCONFIRMED_AT_CLOSE)[0].text, line(LOG_UNCONFIRMED_AT_CLOSE, 2));
    queue.handleWrite({}, query, 1);
    ASSERT_EQ(listener.logsWith(LOG_UNCONFIRMED_AT_CLOSE).size(), 2u);
    EXPECT_EQ(listener.logsWith(LOG_UNCONFIRMED_AT_CLOSE)[1].text, line(LOG_UNCONFIRMED_AT_CLOSE, 1));

    queue.ownClose(1, 0);  // said once
    queue.publish(pipe[1], 2);
    queue.ownClose(2, 0);  // nothing written on the next connection
    EXPECT_EQ(listener.countLogs(LOG_UNCONFIRMED_AT_CLOSE), 2u);
}

// The queue-full lines used to count only refusals followed by another a
// second later: once the queue drained, those since the last line were never
// told (26,910 refusals, one line saying 1). Now the lines add up to every
// refusal, once the queue has drained and at release.
TEST_F(SendQueueAccounting, QueueFullLinesCountEveryRefusalOnceTheQueueDrainsAndAtRelease) {
    thread.assertCurrent();
    const std::string query = request(FC_QRY_ORDERS, 1);
    queue.setLimit(4 * query.size());
    int refused = 0;
    auto fill = [&] {
        while (queue.queueEmptyRequest(FC_QRY_ORDERS, 1)) {
        }
        refused += 1;
        for (int i = 0; i < 9; ++i) refused += queue.queueEmptyRequest(FC_QRY_ORDERS, 1) ? 0 : 1;
    };
    auto counted = [&] {
        int sum = 0;
        for (const LogLine& l : listener.logsWith(LOG_SEND_QUEUE_FULL)) {
            unsigned long long limit = 0;
            int count = 0;
            EXPECT_EQ(std::sscanf(l.text.c_str(), LOG_SEND_QUEUE_FULL, &limit, &count), 2) << l.text;
            sum += count;
        }
        return sum;
    };
    fill();  // no connection: nothing drains
    ASSERT_EQ(refused, 10);
    queue.publish(pipe[1], 1);
    queue.flush();
    ASSERT_EQ(carrier.writes.size(), 1u);
    queue.handleWrite({}, carrier.writes[0].first.size(), 1);  // written whole: the queue has drained
    EXPECT_EQ(counted(), refused);

    fill();  // behind a write in flight
    EXPECT_EQ(queue.dropUnsent(), 3);  // release
    EXPECT_EQ(counted(), refused);
}

}  // namespace
}  // namespace hvr::test
