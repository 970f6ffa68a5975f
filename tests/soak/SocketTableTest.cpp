// Reading the kernel's socket table: the trader's connection to the
// simulator is found by its remote port, and its send queue read.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "SocketTable.h"

namespace hvr::soak {
namespace {

// A listener on 0.0.0.0:2024, the simulator's side (local port 0x9C40 =
// 40000) and the client's side (local 0xA000 = 40960) of one connection, a
// closed-down client socket, and a connection to another server.
const char* const TABLE =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1082 1\n"
    "   1: 0100007F:9C40 0100007F:A000 01 00000000:00000310 00:00000000 00000000     0        0 11 1\n"
    "   2: 0100007F:A000 0100007F:9C40 01 00006C20:00000000 00:00000000 00000000     0        0 12 1\n"
    "   3: 0100007F:A002 0100007F:9C40 08 00000000:00000000 00:00000000 00000000     0        0 13 1\n"
    "   4: 0100007F:A004 0100007F:1F90 01 00000000:00000000 00:00000000 00000000     0        0 14 1\n";

TEST(SocketTable, FindsTheClientSideOfTheOneConnectionToTheServerPort) {
    const std::vector<TcpSocket> table = parseTcpTable(TABLE);
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[1].receiveQueue, 0x310u);
    EXPECT_EQ(table[2].inode, 12u);
    EXPECT_EQ(clientPortTo(table, 40000), std::optional<uint16_t>(40960));
    EXPECT_EQ(sendQueueOf(table, 40960, 40000), std::optional<uint32_t>(0x6C20));
    EXPECT_FALSE(sendQueueOf(table, 40962, 40000));  // not established any more
    EXPECT_FALSE(clientPortTo(table, 12345));

    std::vector<TcpSocket> two = table;
    two[3].state = TCP_ESTABLISHED_STATE;  // two connections: cannot tell which
    EXPECT_FALSE(clientPortTo(two, 40000));

    // The kernel may list a socket twice when the table changes while it is
    // read: still one connection.
    std::vector<TcpSocket> listedTwice = table;
    listedTwice.push_back(table[2]);
    EXPECT_EQ(clientPortTo(listedTwice, 40000), std::optional<uint16_t>(40960));
}

TEST(SocketTable, ReadsTheSendQueueOfThisProcesssOwnSocket) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(sendQueueOfDescriptor(pair[0]), std::optional<uint32_t>(0));
    ASSERT_EQ(::write(pair[0], "queued", 6), 6);  // not read by the other end: it stays charged to this one
    EXPECT_GT(sendQueueOfDescriptor(pair[0]).value_or(0), 0u);
    ::close(pair[0]);
    ::close(pair[1]);
    EXPECT_FALSE(sendQueueOfDescriptor(-1));
}

}  // namespace
}  // namespace hvr::soak
