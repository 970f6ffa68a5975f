#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "net/Framing.h"
#include "SendSide.h"

namespace hvr::test {

ScriptedServer::ScriptedServer(const std::string& address, uint16_t port, const ServerSockets& sockets) {
    const bool v6 = address.find(':') != std::string::npos;
    listenFd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (sockets.receiveBuffer > 0)
        ::setsockopt(listenFd, SOL_SOCKET, SO_RCVBUF, &sockets.receiveBuffer, sizeof sockets.receiveBuffer);
    if (sockets.maxSegment > 0)
        ::setsockopt(listenFd, IPPROTO_TCP, TCP_MAXSEG, &sockets.maxSegment, sizeof sockets.maxSegment);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &a->sin_addr);
        length = sizeof(sockaddr_in);
    }
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(listenFd, 16) != 0) {
        ::close(listenFd);
        throw std::runtime_error("bind/listen failed on " + address);
    }
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&storage), &length);
    boundPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    acceptor = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        changed.notify_all();  // a paused reader goes on to its end
    }
    stopListening();
    if (acceptor.joinable()) acceptor.join();
    {
        std::lock_guard<std::mutex> guard(lock);
        for (int fd : clientFds)
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& reader : readers)
        if (reader.joinable()) reader.join();
    for (int fd : clientFds)
        if (fd >= 0) ::close(fd);
}

void ScriptedServer::stopListening() {
    std::lock_guard<std::mutex> guard(lock);
    if (listenFd >= 0) {
        ::shutdown(listenFd, SHUT_RDWR);
        ::close(listenFd);
        listenFd = -1;
    }
}

void ScriptedServer::acceptLoop() {
    for (;;) {
        int fd;
        {
            std::lock_guard<std::mutex> guard(lock);
            fd = listenFd;
        }
        if (fd < 0) return;
        int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;  // listening socket closed
        std::lock_guard<std::mutex> guard(lock);
        if (stopping) {
            ::close(client);
            return;
        }
        clientFds.push_back(client);
        const int connection = static_cast<int>(clientFds.size());
        readers.emplace_back([this, client, connection] { readLoop(client, connection); });
        changed.notify_all();
    }
}

void ScriptedServer::readLoop(int fd, int connection) {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return !readingPaused || stopping; });
            if (clientFds[static_cast<std::size_t>(connection - 1)] < 0) return;  // reset
        }
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> guard(lock);
            endedConnections.push_back(connection);
            changed.notify_all();
            return;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        std::vector<ReceivedPacket> cut;
        FramingStatus status = processFrames(buffer, [&](const uint8_t* packet, const PacketHeader& header) {
            cut.push_back({header,
                           std::string(reinterpret_cast<const char*>(packet) + PACKET_HEADER_SIZE,
                                        header.packetLength - PACKET_HEADER_SIZE),
                           connection});
            return true;
        });
        std::lock_guard<std::mutex> guard(lock);
        totalBytes += static_cast<std::size_t>(n);
        for (auto& p : cut) packets.push_back(std::move(p));
        changed.notify_all();
        if (status != FramingStatus::Ok) return;  // the client sent garbage: stop reading it
    }
}

bool ScriptedServer::waitForConnections(int count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, [&] { return static_cast<int>(clientFds.size()) >= count; });
}

bool ScriptedServer::waitForEnd(int connection, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, [&] {
        return std::find(endedConnections.begin(), endedConnections.end(), connection) != endedConnections.end();
    });
}

int ScriptedServer::connectionCount() {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(clientFds.size());
}

std::optional<ReceivedPacket> ScriptedServer::nextPacket(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    if (!changed.wait_for(guard, limit, [&] { return !packets.empty(); })) return std::nullopt;
    ReceivedPacket p = std::move(packets.front());
    packets.pop_front();
    return p;
}

std::optional<ReceivedPacket> ScriptedServer::waitPacket(uint16_t functionCode, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        std::optional<ReceivedPacket> p = nextPacket(left);
        if (!p) return std::nullopt;
        if (p->header.functionCode == functionCode) return p;
    }
}

std::vector<ReceivedPacket> ScriptedServer::drainPackets() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<ReceivedPacket> all(std::make_move_iterator(packets.begin()), std::make_move_iterator(packets.end()));
    packets.clear();
    return all;
}

std::size_t ScriptedServer::bytesReceived() {
    std::lock_guard<std::mutex> guard(lock);
    return totalBytes;
}

void ScriptedServer::send(const std::string& bytes) {
    int fd;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (clientFds.empty()) throw std::runtime_error("no connection to send on");
        fd = clientFds.back();
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        sent += static_cast<std::size_t>(n);
    }
}

bool ScriptedServer::waitAcknowledged(std::chrono::milliseconds limit) {
    int fd;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (clientFds.empty()) return false;
        fd = clientFds.back();
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::optional<SendSide> side = sendSideOf(fd);
        if (!side) return false;
        if (side->queued == 0) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ScriptedServer::pauseReading() {
    std::lock_guard<std::mutex> guard(lock);
    readingPaused = true;
}

void ScriptedServer::resumeReading() {
    std::lock_guard<std::mutex> guard(lock);
    readingPaused = false;
    changed.notify_all();
}

void ScriptedServer::resetConnection() {
    std::lock_guard<std::mutex> guard(lock);
    if (clientFds.empty() || clientFds.back() < 0) return;
    const linger reset{1, 0};
    ::setsockopt(clientFds.back(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(clientFds.back());
    clientFds.back() = -1;
}

void ScriptedServer::closeConnection() {
    std::lock_guard<std::mutex> guard(lock);
    if (!clientFds.empty() && clientFds.back() >= 0) ::shutdown(clientFds.back(), SHUT_RDWR);
}

}  // namespace hvr::test
