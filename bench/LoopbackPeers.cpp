#include "LoopbackPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include "net/Framing.h"

namespace hvr::bench {

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left > 100 ? 100 : left);
}

}  // namespace

CpuPin::CpuPin(int cpu) {
    if (cpu < 0 || std::thread::hardware_concurrency() < static_cast<unsigned>(cpu) + 1) return;
    if (::sched_getaffinity(0, sizeof previous, &previous) != 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pinned = ::sched_setaffinity(0, sizeof one, &one) == 0;
}

CpuPin::~CpuPin() {
    if (pinned) ::sched_setaffinity(0, sizeof previous, &previous);
}

LoopbackListener::LoopbackListener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address = loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0)
        throw std::runtime_error(std::string("bind/listen failed: ") + std::strerror(errno));
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { closeSocket(fd); }

int LoopbackListener::accept(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, millisecondsUntil(deadline)) > 0) return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    return -1;
}

int connectLoopback(uint16_t port, bool noDelay) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closeSocket(fd);
        throw std::runtime_error("connect to loopback failed");
    }
    if (noDelay) setNoDelay(fd);
    return fd;
}

bool writeAll(int fd, const char* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        if (Clock::now() >= deadline) return false;
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void setNoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void closeSocket(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

Peer::~Peer() {
    int fd = connection.exchange(-1);
    closeSocket(fd);
}

void Peer::start() {
    thread = std::thread([this] { body(); });
}

void Peer::stopAndJoin() {
    stopping.store(true);
    // A blocked read or write returns once the connection is shut down.
    if (int fd = connection.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (thread.joinable()) thread.join();
}

bool Peer::acceptOne() {
    const int fd = listener.accept(deadline);
    if (fd < 0) return false;
    setNoDelay(fd);
    connection.store(fd);
    return !stopping.load();
}

PushSender::PushSender(const std::string& s, std::size_t r, std::chrono::seconds limit)
    : Peer(limit), stream(s), repeats(r) {
    start();
}

PushSender::~PushSender() { stopAndJoin(); }

void PushSender::body() {
    if (!acceptOne()) return;
    const int fd = connection.load();
    startTicks.store(Clock::now().time_since_epoch().count());
    for (std::size_t i = 0; i < repeats && !stopping.load(); ++i) {
        if (!writeAll(fd, stream.data(), stream.size(), deadline)) break;
    }
    done.store(true);
    // The connection stays open: closing it would make the trader reconnect.
}

DrainReader::DrainReader(std::chrono::seconds limit) : Peer(limit) { start(); }

DrainReader::~DrainReader() { stopAndJoin(); }

void DrainReader::body() {
    if (!acceptOne()) return;
    const int fd = connection.load();
    std::vector<char> buffer(1 << 20);
    while (!stopping.load() && Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
}

CannedAnswerer::CannedAnswerer(std::string a, std::chrono::seconds limit, int c)
    : Peer(limit), answer(std::move(a)), cpu(c) {
    start();
}

CannedAnswerer::~CannedAnswerer() { stopAndJoin(); }

void CannedAnswerer::body() {
    CpuPin pin(cpu);
    if (!acceptOne()) return;
    const int fd = connection.load();
    std::string received;
    std::string replies;
    std::vector<char> buffer(1 << 16);
    while (!stopping.load() && Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        received.append(buffer.data(), static_cast<std::size_t>(n));
        replies.clear();
        const FramingStatus status = processFrames(received, [&](const uint8_t* packet, const PacketHeader& header) {
            if (header.functionCode == FC_HEART_BEAT) return true;
            const std::size_t at = replies.size();
            replies += answer;
            writeLE32(reinterpret_cast<uint8_t*>(&replies[at]) + OFFSET_REQUEST_NO,
                      readLE32(packet + OFFSET_REQUEST_NO));
            return true;
        });
        if (status != FramingStatus::Ok) break;
        if (!replies.empty() && !writeAll(fd, replies.data(), replies.size(), deadline)) break;
    }
}

DelayedAnswerer::DelayedAnswerer(std::string a, std::chrono::microseconds d, std::chrono::seconds limit)
    : Peer(limit), answer(std::move(a)), delay(d) {
    start();
}

DelayedAnswerer::~DelayedAnswerer() { stopAndJoin(); }

void DelayedAnswerer::body() {
    if (!acceptOne()) return;
    const int fd = connection.load();
    struct Due {
        Clock::time_point at;
        uint32_t requestNo;
    };
    std::deque<Due> due;
    std::string received;
    std::vector<char> buffer(1 << 16);
    while (!stopping.load() && Clock::now() < deadline) {
        int wait = 100;
        if (!due.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(due.front().at - Clock::now());
            wait = left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
        }
        pollfd p{fd, POLLIN, 0};
        // poll counts milliseconds: the last part of a wait is spun.
        if (::poll(&p, 1, wait > 1 ? wait - 1 : 0) > 0) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                break;
            }
            const Clock::time_point arrived = Clock::now();
            received.append(buffer.data(), static_cast<std::size_t>(n));
            const FramingStatus status = processFrames(received, [&](const uint8_t* packet, const PacketHeader& header) {
                if (header.functionCode != FC_HEART_BEAT)
                    due.push_back({arrived + delay, readLE32(packet + OFFSET_REQUEST_NO)});
                return true;
            });
            if (status != FramingStatus::Ok) break;
        }
        while (!due.empty() && due.front().at <= Clock::now()) {
            writeLE32(reinterpret_cast<uint8_t*>(&answer[0]) + OFFSET_REQUEST_NO, due.front().requestNo);
            due.pop_front();
            if (!writeAll(fd, answer.data(), answer.size(), deadline)) return;
        }
    }
}

}  // namespace hvr::bench
