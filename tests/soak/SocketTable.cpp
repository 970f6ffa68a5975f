#include "SocketTable.h"

// The kernel's own tcp_info (the C library's lacks the byte counts); it must
// not meet <netinet/tcp.h> in one translation unit.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace hvr::soak {

namespace {

// 127.0.0.1 as /proc/net/tcp prints it (the address bytes read as a
// little-endian word).
constexpr uint32_t LOOPBACK = 0x0100007F;

}  // namespace

std::vector<TcpSocket> parseTcpTable(const std::string& text) {
    std::vector<TcpSocket> table;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        TcpSocket s;
        unsigned slot = 0, localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0, tx = 0,
                 rx = 0, timer = 0, when = 0, retransmits = 0, uid = 0, timeout = 0;
        unsigned long long inode = 0;
        const int fields = std::sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X %8X:%8X %2X:%8X %8X %u %u %llu", &slot,
                                       &localAddress, &localPort, &remoteAddress, &remotePort, &state, &tx, &rx,
                                       &timer, &when, &retransmits, &uid, &timeout, &inode);
        if (fields < 8) continue;
        if (fields == 14) s.inode = inode;
        s.localAddress = localAddress;
        s.localPort = static_cast<uint16_t>(localPort);
        s.remoteAddress = remoteAddress;
        s.remotePort = static_cast<uint16_t>(remotePort);
        s.state = static_cast<int>(state);
        s.sendQueue = tx;
        s.receiveQueue = rx;
        table.push_back(s);
    }
    return table;
}

std::string readTcpTable() {
    std::ifstream in("/proc/net/tcp");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<uint16_t> clientPortTo(const std::vector<TcpSocket>& table, uint16_t serverPort) {
    std::optional<uint16_t> found;
    for (const TcpSocket& s : table) {
        if (s.state != TCP_ESTABLISHED_STATE || s.remotePort != serverPort || s.remoteAddress != LOOPBACK ||
            s.localAddress != LOOPBACK)
            continue;
        // The kernel writes the table in pieces, so a socket that moves in
        // its hash table meanwhile may be listed twice: the same port is the
        // same connection.
        if (found && *found != s.localPort) return std::nullopt;  // two: cannot tell which
        found = s.localPort;
    }
    return found;
}

std::optional<uint32_t> sendQueueOf(const std::vector<TcpSocket>& table, uint16_t localPort, uint16_t serverPort) {
    for (const TcpSocket& s : table)
        if (s.state == TCP_ESTABLISHED_STATE && s.localPort == localPort && s.remotePort == serverPort &&
            s.localAddress == LOOPBACK)
            return s.sendQueue;
    return std::nullopt;
}

int socketDescriptorOf(const std::vector<TcpSocket>& table, uint16_t localPort, uint16_t serverPort) {
    uint64_t inode = 0;
    for (const TcpSocket& s : table)
        if (s.state == TCP_ESTABLISHED_STATE && s.localPort == localPort && s.remotePort == serverPort &&
            s.localAddress == LOOPBACK)
            inode = s.inode;
    if (inode == 0) return -1;
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
        std::error_code unreadable;
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), unreadable);
        if (!unreadable && target.string() == wanted) return std::atoi(entry.path().filename().c_str());
    }
    return -1;
}

std::optional<uint32_t> sendQueueOfDescriptor(int fd) {
    int queued = 0;
    if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
    return static_cast<uint32_t>(queued);
}

std::optional<uint32_t> receiveQueueOf(const std::vector<TcpSocket>& table, uint16_t localPort, uint16_t remotePort) {
    for (const TcpSocket& s : table)
        if (s.state == TCP_ESTABLISHED_STATE && s.localPort == localPort && s.remotePort == remotePort &&
            s.localAddress == LOOPBACK)
            return s.receiveQueue;
    return std::nullopt;
}

std::optional<uint64_t> bytesReceivedOfDescriptor(int fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return std::nullopt;
    return info.tcpi_bytes_received;
}

}  // namespace hvr::soak
