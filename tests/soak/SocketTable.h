// The kernel's table of IPv4 TCP sockets (/proc/net/tcp), read for two facts
// about the trader's own connection that the module does not show: its local
// port, which names it in the simulator's request journal, and how many bytes
// wait in its send queue, which stops growing once the server has stopped
// reading and every buffer on the way is full. The table is long on a busy
// machine; a send queue watched often is read from the socket itself.
//
// Parsing is pure; readTcpTable() reads the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hvr::soak {

struct TcpSocket {
    uint32_t localAddress = 0;  // as the kernel prints it: host order of the bytes in memory
    uint16_t localPort = 0;
    uint32_t remoteAddress = 0;
    uint16_t remotePort = 0;
    int state = 0;  // 1 established
    uint32_t sendQueue = 0;
    uint32_t receiveQueue = 0;
    uint64_t inode = 0;
};

constexpr int TCP_ESTABLISHED_STATE = 1;

std::vector<TcpSocket> parseTcpTable(const std::string& text);
std::string readTcpTable();

// The local port of the only established connection from 127.0.0.1 to
// 127.0.0.1:serverPort in the table; none when there is no such connection
// or more than one.
std::optional<uint16_t> clientPortTo(const std::vector<TcpSocket>& table, uint16_t serverPort);

// The send queue of the established connection 127.0.0.1:localPort to
// 127.0.0.1:serverPort; none when it is gone.
std::optional<uint32_t> sendQueueOf(const std::vector<TcpSocket>& table, uint16_t localPort, uint16_t serverPort);

// The descriptor of this process's socket to 127.0.0.1:serverPort from
// localPort (found through its inode in /proc/self/fd); -1 when none. The
// descriptor belongs to whoever opened it: it is looked at, and at most
// given a socket option, never closed.
int socketDescriptorOf(const std::vector<TcpSocket>& table, uint16_t localPort, uint16_t serverPort);

// Bytes in a socket's send queue (sent and not acknowledged, or not sent);
// none when it cannot be read.
std::optional<uint32_t> sendQueueOfDescriptor(int fd);

// Bytes that wait unread in the receive queue of the established connection
// 127.0.0.1:localPort to 127.0.0.1:remotePort (the simulator's side of a
// trader connection: its listening port, the trader's port); none when gone.
std::optional<uint32_t> receiveQueueOf(const std::vector<TcpSocket>& table, uint16_t localPort, uint16_t remotePort);

// Bytes a socket has received over its life (the kernel's count, read or
// not); none when it cannot be read.
std::optional<uint64_t> bytesReceivedOfDescriptor(int fd);

}  // namespace hvr::soak
