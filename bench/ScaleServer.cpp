#include "ScaleServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "LoopbackPeers.h"
#include "exchg.pb.h"
#include "net/Framing.h"

namespace hvr::bench {

namespace {

// Users whose name starts with this get no pushes (the trader whose round
// trip is measured).
const char QUIET_USER_PREFIX[] = "quiet";

std::string packetOf(uint16_t functionCode, uint32_t requestNo, const google::protobuf::MessageLite& message) {
    const std::string payload = message.SerializeAsString();
    std::string packet;
    appendPacket(packet, functionCode, requestNo, payload.data(), payload.size());
    return packet;
}

std::string orderAnswer() {
    exchg::AnsOrderInsert answer;
    answer.set_orderid(5123456);
    answer.set_result(0);
    answer.set_instrument("IF2412");
    answer.set_price(35002000);
    answer.set_qty(1);
    answer.set_direct(exchg::DT_Long);
    answer.set_offset(exchg::OF_Open);
    answer.set_pxtype(exchg::PT_LimitPrice);
    answer.set_timecond(exchg::TC_ValidInDay);
    answer.set_usertag("strat0.123456");
    return packetOf(FC_CMD_ORDER_INSERT, 0, answer);
}

std::string pushedOrder() {
    exchg::Order o;
    o.set_accountid(1001);
    o.set_orderid(5123456);
    o.set_instrument("IF2412");
    o.set_price(35002000);
    o.set_qty(1);
    o.set_ordertype(exchg::OT_Normal);
    o.set_direct(exchg::DT_Long);
    o.set_pxtype(exchg::PT_LimitPrice);
    o.set_timecond(exchg::TC_ValidInDay);
    o.set_offset(exchg::OF_Open);
    o.set_ordertime(1796601600000ULL);
    o.set_tradedvol(0);
    o.set_leftover(1);
    o.set_status(exchg::OS_NotTradedQueuing);
    o.set_margin(0);
    o.set_leftmargin(0);
    o.set_commission(0);
    o.set_leftcommission(0);
    o.set_tradingdate(20261207);
    o.set_usertag("strat0.123456");
    return o.SerializeAsString();
}

struct Connection {
    int fd = -1;
    std::string in;
    std::string out;  // what the socket did not take yet
    bool wantsPushes = false;
    uint64_t pushId = 0;
};

// The whole server: runs in the forked child until killed or past its limit.
class Loop {
public:
    Loop(int listenFd, std::chrono::milliseconds period, std::chrono::seconds limit)
        : listenFd(listenFd), period(period), deadline(Clock::now() + limit), epollFd(::epoll_create1(0)) {
        add(listenFd);
    }

    [[noreturn]] void run() {
        epoll_event events[256];
        for (;;) {
            if (Clock::now() > deadline) ::_exit(0);
            const bool behind = !due.empty() && due.front().at <= Clock::now();
            const int n = ::epoll_wait(epollFd, events, 256, behind ? 0 : period.count() > 0 ? 1 : 100);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == listenFd) {
                    acceptAll();
                    continue;
                }
                auto found = connections.find(fd);
                if (found == connections.end()) continue;
                if ((events[i].events & EPOLLOUT) != 0) flush(found->second);
                if ((events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) readFrom(found->second);
            }
            if (period.count() > 0) pushDue();
        }
    }

private:
    void add(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
    }

    void acceptAll() {
        for (;;) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            setNoDelay(fd);
            connections[fd].fd = fd;
            add(fd);
        }
    }

    void close(Connection& c) {
        const int fd = c.fd;
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        connections.erase(fd);
    }

    void readFrom(Connection& c) {
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                c.in.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            close(c);  // end of stream or an error
            return;
        }
        std::string replies;
        const FramingStatus status = processFrames(c.in, [&](const uint8_t* packet, const PacketHeader& header) {
            if (header.functionCode == FC_CMD_LOGIN) {
                exchg::ReqLogin login;
                if (login.ParseFromArray(packet + PACKET_HEADER_SIZE,
                                         static_cast<int>(header.packetLength - PACKET_HEADER_SIZE)) &&
                    login.username().rfind(QUIET_USER_PREFIX, 0) != 0 && !c.wantsPushes) {
                    c.wantsPushes = true;
                    due.push_back({Clock::now() + period, c.fd});
                }
                replies += loginAnswerPacket;
            } else if (header.functionCode == FC_CMD_ORDER_INSERT) {
                const std::size_t at = replies.size();
                replies += orderAnswerPacket;
                writeLE32(reinterpret_cast<uint8_t*>(&replies[at]) + OFFSET_REQUEST_NO,
                          readLE32(packet + OFFSET_REQUEST_NO));
            }
            return true;
        });
        if (status != FramingStatus::Ok) {
            close(c);
            return;
        }
        if (!replies.empty()) write(c, replies);
    }

    void write(Connection& c, const std::string& bytes) {
        if (!c.out.empty()) {
            c.out += bytes;
            return;
        }
        const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        const std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (sent == bytes.size()) return;
        c.out.assign(bytes, sent, std::string::npos);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.fd = c.fd;
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &event);
    }

    void flush(Connection& c) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) c.out.erase(0, static_cast<std::size_t>(n));
        if (!c.out.empty()) return;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = c.fd;
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &event);
    }

    // Every connection is due once a period; all have the same period, so
    // the queue stays in order of due time. At most PUSH_BATCH pushes between
    // two looks at the sockets: a server that falls behind its schedule still
    // answers requests in between, late pushes going out as it catches up.
    void pushDue() {
        constexpr int PUSH_BATCH = 256;
        const Clock::time_point now = Clock::now();
        for (int sent = 0; sent < PUSH_BATCH && !due.empty() && due.front().at <= now; ++sent) {
            const Due next = due.front();
            due.pop_front();
            auto found = connections.find(next.fd);
            if (found == connections.end()) continue;
            exchg::PushMessage push;
            push.set_pushid(++found->second.pushId);
            push.set_mtype(FC_PUSH_ORDER);
            push.set_data(orderBytes);
            write(found->second, packetOf(FC_PUSH_MESSAGE, 0, push));
            due.push_back({next.at + period, next.fd});
        }
    }

    struct Due {
        Clock::time_point at;
        int fd;
    };

    const int listenFd;
    const std::chrono::milliseconds period;
    const Clock::time_point deadline;
    const int epollFd;
    const std::string loginAnswerPacket = scaleLoginAnswer();
    const std::string orderAnswerPacket = orderAnswer();
    const std::string orderBytes = pushedOrder();
    std::unordered_map<int, Connection> connections;
    std::deque<Due> due;
};

}  // namespace

std::string scaleLoginAnswer() {
    exchg::AnsLogin answer;
    answer.set_result(0);
    answer.set_message("");
    answer.set_tradingdate(20261207);
    answer.set_sessionid(7);
    return packetOf(FC_CMD_LOGIN, 0, answer);
}

ScaleServer::ScaleServer(std::chrono::milliseconds pushPeriod, std::chrono::seconds limit) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4096) != 0)
        throw std::runtime_error("scale server: cannot listen");
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    child = ::fork();
    if (child < 0) throw std::runtime_error(std::string("scale server: fork failed: ") + std::strerror(errno));
    if (child == 0) {
        // As many connections as the process may hold.
        rlimit descriptors{};
        ::getrlimit(RLIMIT_NOFILE, &descriptors);
        descriptors.rlim_cur = descriptors.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
        Loop(fd, pushPeriod, limit).run();
    }
    ::close(fd);  // the child's now
}

ScaleServer::~ScaleServer() {
    if (child <= 0) return;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

}  // namespace hvr::bench
