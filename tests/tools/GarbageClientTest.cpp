// A client that sends garbage is dropped by the server, while a trader on
// another connection keeps trading.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"
#include "harness/TraderHarness.h"

namespace hvr::e2e {
namespace {

using std::chrono::seconds;

int connectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    timeval receiveTimeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout);
    return fd;
}

// Reads until the peer closes (true) or the receive timeout passes (false).
bool peerCloses(int fd) {
    char buffer[256];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

TEST(GarbageClient, IsDroppedWhileAnotherClientKeepsTrading) {
    TempDir dir;
    SimProcess sim(SIM_BINARY, {"--port", "0", "--db", dir.path() + "sim.db", "--fresh-day"}, dir.path() + "sim.log");
    kra::SimpleContractCatalog catalog;
    catalog.addInstrument("IF2412", 300, "CNY", "CFFEX");
    TraderHarness h(MODULE_PATH, std::move(catalog));
    h.init(sim.port(), dir.path() + "flow/", 1);
    ASSERT_TRUE(h.connectAndLogin("demo", "demo", seconds(5)));
    h.insert("IF2412", 1, 3500, '0', '0');
    ASSERT_TRUE(h.core().waitUntil([](const tools::SessionState& s) { return s.counts().acceptedOrders == 1; }, seconds(5)));

    const int garbage = connectLoopback(sim.port());
    ASSERT_GE(garbage, 0);
    const std::string junk = "GET / HTTP/1.1\r\nHost: x\r\n\r\n" + std::string(64, '\xEE');
    ASSERT_EQ(send(garbage, junk.data(), junk.size(), MSG_NOSIGNAL), static_cast<ssize_t>(junk.size()));
    EXPECT_TRUE(peerCloses(garbage)) << "the server kept a client that sent garbage";
    close(garbage);

    // The trader's connection was never touched, and trading goes on.
    h.insert("IF2412", 1, 3500, '0', '0');
    ASSERT_TRUE(h.core().waitUntil(
        [](const tools::SessionState& s) { return s.counts().acceptedOrders == 2 && s.counts().tradePushes == 2; },
        seconds(5)));
    h.core().read([](const tools::SessionState& s) {
        EXPECT_EQ(s.counts().connects, 1u);
        EXPECT_EQ(s.counts().connectionsEnded, 0u);
        return 0;
    });
    EXPECT_TRUE(sim.running());
}

}  // namespace
}  // namespace hvr::e2e
