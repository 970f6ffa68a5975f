// Footprint: resident memory and threads per trader object with 1, 10 and
// 100 traders connected and logged in to a loopback server, first idle, then
// after real traffic (a burst of pushes and one compressed 70,000-order
// answer to an order query, per trader) and TRAFFIC_IDLE of quiet.
//
// Every trader count is measured in a process of its own (a fork of the
// benchmark, made before any figure starts a thread), so memory one count
// freed is not reused by the next. The server runs in a second fork, so its
// buffers and threads are not counted.
#include <dirent.h>
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Figures.h"
#include "LoopbackPeers.h"
#include "PacketMix.h"
#include "exchg.pb.h"
#include "net/Framing.h"

namespace hvr::bench {

namespace {

constexpr std::chrono::seconds LIMIT{120};
constexpr std::chrono::seconds TRAFFIC_IDLE{10};
constexpr std::size_t BURST_PACKETS = 10000;  // 9,600 pushes
constexpr std::size_t LARGE_ANSWER_ORDERS = 70000;
constexpr std::size_t TRAFFIC_GROUP = 10;  // traders whose traffic is under way at once
constexpr double GOAL_KIB = 3 * 1024;

// VmRSS of this process in KiB.
double residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stod(line.substr(6));
    }
    throw std::runtime_error("no VmRSS in /proc/self/status");
}

// Entries of /proc/self/task: the process's threads.
int threadCount() {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/task");
    int n = 0;
    while (dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n;
}

std::string loginAnswer() {
    exchg::AnsLogin answer;
    answer.set_result(0);
    answer.set_message("");
    answer.set_tradingdate(20261207);
    answer.set_sessionid(7);
    const std::string payload = answer.SerializeAsString();
    std::string packet;
    appendPacket(packet, FC_CMD_LOGIN, 1, payload.data(), payload.size(), 0);
    return packet;
}

// The server process: every connection on a thread of its own; a login is
// accepted, an order query is answered with the burst of pushes and the large
// order list. Runs until killed or LIMIT.
[[noreturn]] void serveTraffic(LoopbackListener& listener, const std::string& burst, const std::string& large) {
    const std::string login = loginAnswer();
    const Clock::time_point deadline = Clock::now() + LIMIT;
    for (;;) {
        const int fd = listener.accept(deadline);
        if (fd < 0) ::_exit(0);
        std::thread([fd, &burst, &large, &login, deadline] {
            std::string received;
            std::vector<char> buffer(1 << 16);
            for (;;) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (n <= 0) break;
                received.append(buffer.data(), static_cast<std::size_t>(n));
                std::string replies;
                processFrames(received, [&](const uint8_t*, const PacketHeader& header) {
                    if (header.functionCode == FC_CMD_LOGIN) replies += login;
                    if (header.functionCode == FC_QRY_ORDERS) replies += burst + large;
                    return true;
                });
                if (!replies.empty() && !writeAll(fd, replies.data(), replies.size(), deadline)) break;
            }
            ::close(fd);
        }).detach();
    }
}

template <typename Done>
bool waitUntil(Done done) {
    const Clock::time_point deadline = Clock::now() + LIMIT;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One trader count, measured in the calling (forked) process.
std::vector<Row> measureCount(const Options& options, std::size_t count) {
    const PacketMix burst = buildPacketMix(BURST_PACKETS, 1, {13, false});
    const std::string large = largeOrderListPacket(LARGE_ANSWER_ORDERS);
    LoopbackListener listener;
    const pid_t server = ::fork();
    if (server < 0) throw std::runtime_error("fork failed");
    if (server == 0) serveTraffic(listener, burst.stream, large);
    struct StopServer {
        pid_t pid;
        ~StopServer() {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } stopServer{server};

    // Building the traffic left freed heap behind; handed back now, so that a
    // module that trims the heap itself is not credited with this process's
    // own garbage.
    ::malloc_trim(0);
    const double rssBefore = residentKiB();
    const int threadsBefore = threadCount();
    std::deque<BenchListener> listeners;  // one each: their counters have one writer
    std::vector<std::unique_ptr<TraderHVR>> traders;
    for (std::size_t i = 0; i < count; ++i) {
        listeners.emplace_back();
        traders.push_back(makeTrader(options, listener.port(), listeners.back()));
        traders.back()->connect();
    }
    auto all = [&](auto counter, uint64_t target) {
        return waitUntil([&] {
            for (BenchListener& l : listeners)
                if ((l.*counter).load() < target) return false;
            return true;
        });
    };
    if (!all(&BenchListener::connects, 1)) throw std::runtime_error("footprint: connects timed out");
    for (auto& t : traders) t->login("demo", "demo", "bench");
    if (!all(&BenchListener::logins, 1)) throw std::runtime_error("footprint: logins timed out");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double n = static_cast<double>(count);
    const double idleKiB = (residentKiB() - rssBefore) / n;
    const double threadsPer = (threadCount() - threadsBefore) / n;

    for (std::size_t first = 0; first < count; first += TRAFFIC_GROUP) {
        const std::size_t end = std::min(count, first + TRAFFIC_GROUP);
        for (std::size_t i = first; i < end; ++i) traders[i]->queryOrders();
        if (!waitUntil([&] {
                for (std::size_t i = first; i < end; ++i)
                    if (listeners[i].answers.load() < 1 || listeners[i].pushes.load() < burst.pushes) return false;
                return true;
            }))
            throw std::runtime_error("footprint: the traffic was not delivered in time");
    }
    std::this_thread::sleep_for(TRAFFIC_IDLE);
    const double afterKiB = (residentKiB() - rssBefore) / n;

    for (auto& t : traders) t->release();

    const std::string traders_ = std::to_string(count) + " trader" + (count > 1 ? "s" : "");
    const std::string before = formatFixed(rssBefore, 0) + " before any";
    return {
        {"resident memory per trader, KiB, " + traders_ + " logged in, idle", formatFixed(idleKiB, 0), before, "-"},
        {"resident memory per trader, KiB, " + traders_ + ", after " + formatCount(static_cast<double>(burst.pushes)) +
             " pushes and one " + formatCount(LARGE_ANSWER_ORDERS) + "-order answer each, then " +
             std::to_string(TRAFFIC_IDLE.count()) + " s idle",
         formatFixed(afterKiB, 0), before, "-",
         std::string("<= 3072 KiB: ") + (afterKiB <= GOAL_KIB ? "met" : "NOT met")},
        {"threads per trader, " + traders_, formatFixed(threadsPer, 2), std::to_string(threadsBefore) + " before any",
         "-"},
    };
}

// Rows travel from the measuring process as lines of tab-separated fields.
std::string encodeRows(const std::vector<Row>& rows) {
    std::string out;
    for (const Row& r : rows) out += r.figure + '\t' + r.adapter + '\t' + r.baseline + '\t' + r.ratio + '\t' + r.goal + '\n';
    return out;
}

std::vector<Row> decodeRows(const std::string& text) {
    std::vector<Row> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::size_t at = 0, tab;
        while ((tab = line.find('\t', at)) != std::string::npos) {
            f.push_back(line.substr(at, tab - at));
            at = tab + 1;
        }
        f.push_back(line.substr(at));
        if (f.size() == 5) rows.push_back({f[0], f[1], f[2], f[3], f[4]});
    }
    return rows;
}

}  // namespace

std::vector<Row> runFootprint(const Options& options) {
    std::vector<Row> rows;
    for (std::size_t count : {std::size_t{1}, std::size_t{10}, std::size_t{100}}) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
        const pid_t child = ::fork();
        if (child < 0) throw std::runtime_error("fork failed");
        if (child == 0) {
            ::close(pipeFds[0]);
            std::string text;
            try {
                text = encodeRows(measureCount(options, count));
            } catch (const std::exception& e) {
                text = encodeRows({{std::string("footprint, ") + std::to_string(count) + " traders: FAILED (" + e.what() + ")",
                                    "-", "-", "-", "-"}});
            }
            const char* p = text.data();
            std::size_t left = text.size();
            while (left > 0) {
                const ssize_t n = ::write(pipeFds[1], p, left);
                if (n <= 0) break;
                p += n;
                left -= static_cast<std::size_t>(n);
            }
            ::_exit(0);
        }
        ::close(pipeFds[1]);
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
        ::waitpid(child, nullptr, 0);
        const std::vector<Row> got = decodeRows(text);
        if (got.empty()) throw std::runtime_error("footprint: the measuring process reported nothing");
        rows.insert(rows.end(), got.begin(), got.end());
    }
    return rows;
}

}  // namespace hvr::bench
