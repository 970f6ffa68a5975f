// What a client may cost the server: the packet size limit and the login
// deadline before a login, the idle timer that trickled bytes do not reset,
// the cap on open connections (where strangers give way to newcomers), and
// the answers a client asks for faster than it reads them.
#include <chrono>
#include <fstream>
#include <stdexcept>

#include "LoopbackServer.h"
#include "RawConnection.h"

namespace hvr::sim::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A header announcing a heartbeat of packetLength bytes, and no payload yet.
std::string headerAnnouncing(uint32_t packetLength) {
    PacketHeader h;
    h.functionCode = FC_HEART_BEAT;
    h.packetLength = packetLength;
    uint8_t bytes[PACKET_HEADER_SIZE];
    encodeHeader(h, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), PACKET_HEADER_SIZE);
}

TEST_F(LoopbackServer, PacketsAboveTheLoginLimitAreRefusedOnlyBeforeLogin) {
    SimOptions options;
    start(options);
    const std::size_t limit = SessionOptions().maxPacketBeforeLogin;

    // Announcing a 1 MiB packet is enough: the server does not wait for it.
    TestClient stranger(port);
    stranger.sendRaw(headerAnnouncing(1u << 20) + std::string(100, 'x'));
    EXPECT_TRUE(stranger.closedByServer());

    // A packet of exactly the limit is still read.
    TestClient atLimit(port);
    atLimit.sendRaw(headerAnnouncing(static_cast<uint32_t>(limit)) + std::string(limit - PACKET_HEADER_SIZE, 'x'));
    EXPECT_EQ(atLimit.receive().header.functionCode, FC_HEART_BEAT);

    // Once logged in, the same client may send far larger packets.
    TestClient trader(port);
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);
    const uint32_t large = 4u << 20;
    trader.sendRaw(headerAnnouncing(large) + std::string(large - PACKET_HEADER_SIZE, 'x'));
    EXPECT_EQ(trader.receive().header.functionCode, FC_HEART_BEAT);

    // After a logout the limit applies again.
    trader.send(FC_CMD_LOGOUT, 0);
    trader.sendRaw(headerAnnouncing(large));
    EXPECT_TRUE(trader.closedByServer());
}

TEST_F(LoopbackServer, BytesTrickledWithoutAWholePacketDoNotHoldOffTheIdleTimer) {
    SimOptions options;
    options.idleTimeoutSeconds = 1.0;
    start(options);

    // One byte of a 1000-byte packet every 100 ms: well within the idle
    // timeout each time, never a whole packet.
    RawConnection trickler(port);
    const std::string packet = headerAnnouncing(1000) + std::string(1000 - PACKET_HEADER_SIZE, 'x');
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    bool closed = false;
    for (std::size_t sent = 0; sent < packet.size() - 1 && Clock::now() < deadline && !closed; ++sent) {
        if (!trickler.send(packet.substr(sent, 1))) {
            closed = true;
            break;
        }
        closed = trickler.closedWithin(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(closed) << "a client sending one byte at a time was never dropped";

    // Whole packets do keep a client: heartbeats at the same pace, for
    // longer than the idle timeout.
    TestClient steady(port);
    for (int i = 0; i < 15; ++i) {
        roundTrip(steady);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    roundTrip(steady);
}

TEST_F(LoopbackServer, ConnectionsBeyondTheCapAreClosedAndTheirPlaceIsFreedOnClose) {
    SimOptions options;
    options.maxConnections = 2;
    start(options);
    auto first = std::make_unique<TestClient>(port);
    TestClient second(port);
    ASSERT_EQ(first->login("demo", "demo").result(), 0);
    ASSERT_EQ(second.login("demo", "demo").result(), 0);

    TestClient third(port);
    EXPECT_TRUE(third.closedByServer());
    roundTrip(second);  // the clients inside the cap go on

    // Once the first client leaves, a new one gets in (the server may see
    // the new connection before the old one's end: try again until then).
    first.reset();
    bool admitted = false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (!admitted && Clock::now() < deadline) {
        TestClient next(port);
        try {
            admitted = next.login("demo", "demo").result() == 0;
        } catch (const std::runtime_error&) {
            // closed: the old connection was still counted
        }
    }
    EXPECT_TRUE(admitted);
}

// Round trips until the server closes the connection; false when it is
// still open after 10 s.
bool closedWhileTalking(TestClient& client) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        try {
            LoopbackServer::roundTrip(client);
        } catch (const std::runtime_error&) {
            return true;
        }
    }
    return false;
}

TEST_F(LoopbackServer, ConnectionsThatDoNotLogInAreClosedAtTheLoginTimeoutHoweverBusy) {
    SimOptions options;
    options.loginTimeoutSeconds = 0.3;
    start(options);
    TestClient trader(port);
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);
    TestClient stranger(port);
    EXPECT_TRUE(closedWhileTalking(stranger));

    // The logged-in client outlived the stranger; after its logout the
    // deadline runs again.
    roundTrip(trader);
    trader.send(FC_CMD_LOGOUT, 0);
    EXPECT_TRUE(closedWhileTalking(trader));
}

TEST_F(LoopbackServer, AFullServerClosesTheOldestConnectionNotLoggedInToLetANewOneIn) {
    SimOptions options;
    options.maxConnections = 3;
    start(options);
    TestClient trader(port);
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);
    TestClient older(port);
    roundTrip(older);  // accepted before the next one
    TestClient younger(port);
    roundTrip(younger);

    TestClient newcomer(port);
    EXPECT_EQ(newcomer.login("demo", "demo").result(), 0);
    EXPECT_TRUE(older.closedByServer());
    roundTrip(younger);
    roundTrip(trader);

    // With every place held by a logged-in client, a newcomer is refused.
    ASSERT_EQ(younger.login("demo", "demo").result(), 0);
    TestClient late(port);
    EXPECT_TRUE(late.closedByServer());
}

// 400 queries for 400 orders with long tags: about 200 KB of answer each,
// 80 MB in all, past the 64 MiB of unwritten answers that drop a client.
// The 400 requests arrive in one read; the server handles only as many as
// it has written the answers of, and the rest when the client has read on.
TEST_F(LoopbackServer, AClientAskingFasterThanItReadsIsSlowedNotDropped) {
    const uint32_t count = 400;
    std::ofstream(dir.file("rich.ini")) << "[account.demo]\npassword = demo\nbalance = 1000000000\n"
                                           "[instrument.XY]\nlast = 100\nmultiplier = 1\n";
    SimOptions options;
    options.configFile = dir.file("rich.ini");
    options.compressThreshold = SIZE_MAX;  // the answers' full size goes out
    options.heartbeatSeconds = 0;          // only answers and pushes arrive
    start(options);
    TestClient trader(port);
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);

    // 99: rests below the last.
    const exchg::ReqOrderInsert resting =
        limitOrder("XY", 990000, 1, exchg::DT_Long, exchg::OF_Open, std::string(400, 't'));
    trader.sendMany(FC_CMD_ORDER_INSERT, &resting, count);
    for (uint32_t i = 0; i < 2 * count; ++i) trader.receive();  // answers and queued pushes

    trader.sendMany(FC_QRY_ORDERS, nullptr, count);
    for (uint32_t i = 0; i < count; ++i) {
        const ReceivedPacket answer = trader.receive();
        ASSERT_EQ(answer.header.functionCode, FC_QRY_ORDERS);
        ASSERT_EQ(answer.header.requestNo, i);
    }
    exchg::OrderList orders;
    trader.send(FC_QRY_ORDERS, 0);
    ASSERT_TRUE(orders.ParseFromString(trader.receive().payload));
    EXPECT_EQ(orders.orders_size(), static_cast<int>(count));
}

}  // namespace
}  // namespace hvr::sim::testing
