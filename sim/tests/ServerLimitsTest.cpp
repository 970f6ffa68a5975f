// What a client that has not logged in may cost the server: the packet size
// limit before a login, the idle timer that trickled bytes do not reset, and
// the cap on open connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "LoopbackServer.h"

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

// A plain blocking loopback socket, for sending bytes at a pace TestClient
// does not offer.
class RawConnection {
public:
    explicit RawConnection(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect");
    }
    ~RawConnection() { ::close(fd_); }

    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // True once the server has closed the connection; waits at most wait.
    bool closedWithin(std::chrono::milliseconds wait) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
        char byte;
        return ::recv(fd_, &byte, 1, 0) <= 0;
    }

private:
    int fd_;
};

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

}  // namespace
}  // namespace hvr::sim::testing
