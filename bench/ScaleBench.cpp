// Scale: many traders in one host process, one per account, against a
// loopback server in a process of its own (bench/ScaleServer.h).
//
// Every figure runs once with each trader on a network thread of its own (the
// default mode) and once with the traders on the shared pool (threads=shared),
// the two modes alternating in each round.
//
//   1,000 traders   connect and log in (each logs in from its connected
//                   event, as hosts do), then release and delete them all;
//                   baseline: 1,000 raw clients on one thread doing the same
//                   exchange (connect, send the login, read the answer; send
//                   the logout, close). Resident memory, threads and
//                   descriptors per idle trader.
//   round trip      one trader's orderInsert -> onEntrustAnswer, an order
//                   every millisecond, while 999 others receive an order push
//                   every 100 ms each (10,000 pushes a second); baseline: the
//                   same trader with the same server alone.
//   10,000 traders  (runScaleMany, a figure of its own, in the shared mode
//                   unless --threads own) connect and log in, one order each,
//                   release, against 10,000 raw clients; it raises the soft
//                   descriptor limit to the hard one, and refuses to start,
//                   saying what to set, when the limits on descriptors,
//                   threads or mappings cannot hold them all.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Figures.h"
#include "LoopbackPeers.h"
#include "OrderSamples.h"
#include "ScaleServer.h"
#include "Stats.h"
#include "exchg.pb.h"
#include "net/Framing.h"
#include "ops/LoginRequest.h"

namespace hvr::bench {

namespace {

constexpr std::size_t TRADERS = 1000;
constexpr std::chrono::milliseconds PUSH_PERIOD{100};
constexpr std::size_t ROUND_TRIPS = 4000;  // per side and round
constexpr int ROUNDS = 2;                  // alone and under load, alternating
constexpr std::chrono::microseconds ROUND_TRIP_SPACING{1000};
constexpr std::chrono::seconds LIMIT{120};
constexpr std::chrono::seconds MANY_LIMIT{300};
constexpr std::chrono::milliseconds ROUND_TRIP_LIMIT{10000};  // the server's life in the 10,000 figure
constexpr std::chrono::milliseconds SETTLE{300};  // for the pushes to flow before measuring
// Descriptors the benchmark process keeps for itself beyond the traders'.
constexpr std::size_t DESCRIPTOR_MARGIN = 64;

// Counters every trader's listener adds to; one thread waits for a total.
class Tally {
public:
    std::atomic<uint64_t> connects{0}, logins{0}, answers{0}, pushes{0}, failures{0};
    std::atomic<int> lastFailure{0};  // the code of the latest failed attempt

    void bump(std::atomic<uint64_t>& counter) {
        if (counter.fetch_add(1, std::memory_order_acq_rel) + 1 == awaited.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> guard(lock);
            reached.notify_all();
        }
    }
    // Waits until counter reaches target; false after LIMIT.
    bool waitFor(const std::atomic<uint64_t>& counter, uint64_t target,
                 std::chrono::milliseconds limit = std::chrono::duration_cast<std::chrono::milliseconds>(LIMIT)) {
        awaited.store(target, std::memory_order_release);
        std::unique_lock<std::mutex> guard(lock);
        return reached.wait_for(guard, limit, [&] { return counter.load(std::memory_order_acquire) >= target; });
    }

private:
    std::atomic<uint64_t> awaited{0};
    std::mutex lock;
    std::condition_variable reached;
};

// One trader's listener: logs in as its own user once connected, as a host
// does, and counts into the shared tally. Optionally stops the round-trip
// clock in onEntrustAnswer.
class ScaleListener final : public kra::ITraderListener {
public:
    ScaleListener(Tally& tally, std::string user) : tally(tally), user(std::move(user)) {}
    void attach(TraderHVR* t) { trader = t; }

    void onTraderEvent(int kind, int code) override {
        if (kind != 0) return;
        if (code != 0) {
            tally.lastFailure.store(code);
            tally.bump(tally.failures);
            return;
        }
        tally.bump(tally.connects);
        trader->login(user.c_str(), "demo", "scale");
    }
    void onLoginResult(bool succeeded, const char*, uint32_t) override {
        // The measured trader's network thread gets a name of its own, so a
        // scheduler trace (perf sched) can tell it from the others; a pool
        // thread (shared by other traders) keeps its own name.
        char name[16] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        if (answered != nullptr && std::strcmp(name, NetworkPool::POOL_THREAD_NAME) != 0)
            ::pthread_setname_np(::pthread_self(), "rt-trader");
        tally.bump(succeeded ? tally.logins : tally.failures);
    }
    void onEntrustAnswer(kra::NXSEntrust*, kra::NXSError*) override {
        if (answered != nullptr) answered->store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        tally.bump(tally.answers);
    }
    void onAccountAnswer(kra::NXSArray*) override {}
    void onPositionsAnswer(kra::NXSArray*) override {}
    void onOrdersAnswer(kra::NXSArray*) override {}
    void onTradesAnswer(kra::NXSArray*) override {}
    void onOrderPush(kra::NXSOrderInfo*) override { tally.pushes.fetch_add(1, std::memory_order_relaxed); }
    void onTradePush(kra::NXSTradeInfo*) override { tally.pushes.fetch_add(1, std::memory_order_relaxed); }
    void onTraderError(kra::NXSError*) override {}
    kra::IContractCatalog* getContractCatalog() override { return nullptr; }
    void logMessage(int, const char*, ...) override {}

    std::atomic<int64_t>* answered = nullptr;  // set before connect

private:
    Tally& tally;
    TraderHVR* trader = nullptr;
    const std::string user;
};

// Traders made, connected and logged in; released (and timed) on demand.
class Fleet {
public:
    Fleet(const Options& options, Threads threads, uint16_t port, std::size_t count, const std::string& userPrefix,
          std::atomic<int64_t>* firstAnswered = nullptr) {
        listeners.reserve(count);
        traders.reserve(count);
        const Clock::time_point start = Clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            char user[32];
            std::snprintf(user, sizeof user, "%s%05zu", userPrefix.c_str(), i);
            listeners.push_back(std::make_unique<ScaleListener>(tally, user));
            if (i == 0) listeners.back()->answered = firstAnswered;
            BenchListener unused;
            traders.push_back(makeTrader(options, port, unused, false, threads));
            traders.back()->registerListener(listeners.back().get());
            listeners.back()->attach(traders.back().get());
            traders.back()->connect();
        }
        if (!tally.waitFor(tally.logins, count))
            throw std::runtime_error("scale: " + std::to_string(tally.logins.load()) + " of " + std::to_string(count) +
                                     " traders logged in (" + std::to_string(tally.failures.load()) +
                                     " failed attempts, the latest with code " + std::to_string(tally.lastFailure.load()) + ")");
        loggedInAfter = Clock::now() - start;
    }
    ~Fleet() { releaseAll(); }

    TraderHVR& trader(std::size_t i) { return *traders[i]; }
    std::size_t size() const { return traders.size(); }

    // Every trader sends one order; returns when every answer is in.
    Clock::duration orderEach(kra::NXSEntrust& entrust) {
        const uint64_t before = tally.answers.load();
        const Clock::time_point start = Clock::now();
        for (auto& t : traders) t->orderInsert(&entrust);
        if (!tally.waitFor(tally.answers, before + traders.size()))
            throw std::runtime_error("scale: not every order was answered");
        return Clock::now() - start;
    }

    // release and deleteTrader of every trader, in order, on this thread.
    // The two steps are timed apart as well (releaseSteps, deleteSteps).
    Clock::duration releaseAll() {
        const Clock::time_point start = Clock::now();
        for (auto& t : traders) {
            const Clock::time_point before = Clock::now();
            t->release();
            const Clock::time_point released = Clock::now();
            t.reset();
            releaseSteps += released - before;
            deleteSteps += Clock::now() - released;
        }
        traders.clear();
        return Clock::now() - start;
    }
    Clock::duration releaseSteps{}, deleteSteps{};

    Tally tally;
    Clock::duration loggedInAfter{};

private:
    std::vector<std::unique_ptr<ScaleListener>> listeners;
    std::vector<std::unique_ptr<TraderHVR>> traders;
};

std::string loginRequestPacket(const std::string& user) {
    exchg::ReqLogin request;
    buildLoginRequest(user, "demo", "scale", -1, request);
    const std::string payload = request.SerializeAsString();
    std::string packet;
    appendRequestPacket(packet, FC_CMD_LOGIN, 1, payload.data(), payload.size());
    return packet;
}

// The same exchange without the adapter: count clients on this thread.
struct RawTimes {
    Clock::duration loggedIn, closed;  // (threadsAlone: started, ended)
};
RawTimes rawClients(uint16_t port, std::size_t count) {
    std::vector<int> fds;
    fds.reserve(count);
    std::string logout;
    appendRequestPacket(logout, FC_CMD_LOGOUT, 2, nullptr, 0);
    const Clock::time_point deadline = Clock::now() + LIMIT;
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        char user[32];
        std::snprintf(user, sizeof user, "raw%05zu", i);
        const std::string login = loginRequestPacket(user);
        fds.push_back(connectLoopback(port, false));
        if (!writeAll(fds.back(), login.data(), login.size(), deadline))
            throw std::runtime_error("scale: a raw login could not be sent");
    }
    std::vector<char> buffer(4096);
    for (int fd : fds) {
        std::string received;
        std::size_t answers = 0;
        while (answers == 0) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) throw std::runtime_error("scale: a raw login was not answered");
            received.append(buffer.data(), static_cast<std::size_t>(n));
            processFrames(received, [&](const uint8_t*, const PacketHeader&) { return ++answers != 0; });
        }
    }
    const Clock::time_point loggedIn = Clock::now();
    for (int& fd : fds) {
        writeAll(fd, logout.data(), logout.size(), deadline);
        closeSocket(fd);
    }
    return {loggedIn - start, Clock::now() - loggedIn};
}

std::size_t openDescriptors() {
    std::size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
        ::closedir(dir);
        --n;  // the listing's own
    }
    return n;
}

std::size_t threads() {
    std::size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

double residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stod(line.substr(6));
    return 0;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// count flow files of 12 zero bytes, <folder><prefix>NNNNN.flow, as a host
// could make them before its traders first log in; returns the time taken.
Clock::duration makeFlowFiles(const std::string& folder, const std::string& prefix, std::size_t count) {
    ::mkdir(folder.c_str(), 0755);
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%05zu.flow", prefix.c_str(), i);
        const int fd = ::open((folder + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, 12) != 0) throw std::runtime_error("scale: cannot make " + folder + name);
        ::close(fd);
    }
    return Clock::now() - start;
}

// Round trips of fleet's trader 0 (a quiet user: the server pushes it
// nothing), one every ROUND_TRIP_SPACING, appended to samples in ns.
void roundTrips(TraderHVR& trader, Tally& tally, std::atomic<int64_t>& answered, kra::NXSEntrust& entrust,
                std::vector<int64_t>& samples) {
    Clock::time_point next = Clock::now();
    for (std::size_t i = 0; i < ROUND_TRIPS; ++i) {
        next += ROUND_TRIP_SPACING;
        std::this_thread::sleep_until(next);
        const uint64_t before = tally.answers.load();
        const Clock::time_point start = Clock::now();
        trader.orderInsert(&entrust);
        if (!tally.waitFor(tally.answers, before + 1, ROUND_TRIP_LIMIT))
            throw std::runtime_error("no answer within " + std::to_string(ROUND_TRIP_LIMIT.count()) + " ms to order " +
                                     std::to_string(i + 1) + " of " + std::to_string(ROUND_TRIPS));
        samples.push_back(answered.load(std::memory_order_acquire) - start.time_since_epoch().count());
    }
}

// What one thread per trader costs by itself: count threads started one after
// the other, each making an epoll descriptor and an eventfd (what an idle
// event loop holds) and telling it is ready; then each told to end and
// joined in turn, as release does. Returns {started, ended}.
RawTimes threadsAlone(std::size_t count) {
    struct Waiter {
        std::mutex lock;
        std::condition_variable told;
        bool end = false;
    };
    std::vector<std::unique_ptr<Waiter>> waiters;
    std::vector<std::thread> threads;
    Tally tally;
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        waiters.push_back(std::make_unique<Waiter>());
        Waiter& w = *waiters.back();
        threads.emplace_back([&w, &tally] {
            const int loop = ::epoll_create1(EPOLL_CLOEXEC), wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            tally.bump(tally.connects);
            std::unique_lock<std::mutex> guard(w.lock);
            w.told.wait(guard, [&w] { return w.end; });
            ::close(loop);
            ::close(wake);
        });
    }
    if (!tally.waitFor(tally.connects, count)) throw std::runtime_error("scale: the bare threads did not start");
    const Clock::time_point started = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        {
            std::lock_guard<std::mutex> guard(waiters[i]->lock);
            waiters[i]->end = true;
        }
        waiters[i]->told.notify_one();
        threads[i].join();
    }
    return {started - start, Clock::now() - started};
}

// Raises the soft descriptor limit to the hard one; returns the limit.
rlim_t raiseDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

// What one mode measured over the rounds of connectAndRelease.
struct FleetFigures {
    double login = 1e300, release = 1e300, releaseSteps = 0, deleteSteps = 0;
    double kib = 0, threads = 0, descriptors = 0;
};

// Connect and log in, then release, against a server that pushes nothing:
// the raw clients, then the adapter in each mode, ROUNDS times.
std::vector<Row> connectAndRelease(const Options& options) {
    std::vector<Row> rows;
    const std::string count = formatCount(static_cast<double>(TRADERS));
    double rawLogin = 1e300, rawClose = 1e300;
    FleetFigures figures[2];
    for (int round = 0; round < ROUNDS; ++round) {
        ScaleServer server(std::chrono::milliseconds(0), LIMIT);
        const RawTimes raw = rawClients(server.port(), TRADERS);
        rawLogin = std::min(rawLogin, ms(raw.loggedIn));
        rawClose = std::min(rawClose, ms(raw.closed));
        for (Threads threads : {Threads::Own, Threads::Shared}) {
            FleetFigures& f = figures[static_cast<int>(threads)];
            const double rssBefore = residentKiB();
            const std::size_t threadsBefore = ::hvr::bench::threads(), descriptorsBefore = openDescriptors();
            Fleet fleet(options, threads, server.port(), TRADERS, "user");
            f.login = std::min(f.login, ms(fleet.loggedInAfter));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            f.kib = (residentKiB() - rssBefore) / TRADERS;
            f.threads = static_cast<double>(::hvr::bench::threads() - threadsBefore) / TRADERS;
            f.descriptors = static_cast<double>(openDescriptors() - descriptorsBefore) / TRADERS;
            const double released = ms(fleet.releaseAll());
            if (released < f.release) {
                f.release = released;
                f.releaseSteps = ms(fleet.releaseSteps);
                f.deleteSteps = ms(fleet.deleteSteps);
            }
        }
    }
    for (Threads threads : {Threads::Own, Threads::Shared}) {
        const FleetFigures& f = figures[static_cast<int>(threads)];
        const std::string mode = " [" + threadsName(options, threads) + "]";
        rows.push_back({count + " traders: connect and log in (each from its connected event), ms, best of " +
                            std::to_string(ROUNDS) + " (baseline: " + count +
                            " raw clients on one thread: connect, send the login, read the answer)" + mode,
                        formatFixed(f.login, 1), formatFixed(rawLogin, 1), ratioText(f.login, rawLogin),
                        goalAtMost(f.login, rawLogin, 2.0)});
        rows.push_back({count + " traders: release and deleteTrader of each, one after the other, ms, best of " +
                            std::to_string(ROUNDS) + " (baseline: the raw clients send the logout and close)" + mode,
                        formatFixed(f.release, 1), formatFixed(rawClose, 1), ratioText(f.release, rawClose),
                        goalAtMost(f.release, rawClose, 2.0)});
        rows.push_back({count + " traders: of that release, the release() calls (logout, close step on the network "
                                "thread, join or wait), ms; the deleteTrader calls, ms" + mode,
                        formatFixed(f.releaseSteps, 1) + "; " + formatFixed(f.deleteSteps, 1), "-", "-"});
        rows.push_back({count + " traders logged in, idle: resident memory per trader, KiB" + mode,
                        formatFixed(f.kib, 0), "-", "-"});
        rows.push_back({count + " traders logged in: threads per trader" + mode, formatFixed(f.threads, 3), "-", "-"});
        rows.push_back({count + " traders logged in: descriptors per trader" + mode, formatFixed(f.descriptors, 3), "-",
                        "-",
                        threads == Threads::Shared ? std::string("<= 1.10: ") + (f.descriptors <= 1.1 ? "met" : "NOT met")
                                                   : "-"});
    }
    // The part of both that one thread per trader costs by itself.
    double threadsStarted = 1e300, threadsEnded = 1e300;
    for (int round = 0; round < ROUNDS; ++round) {
        const RawTimes bare = threadsAlone(TRADERS);
        threadsStarted = std::min(threadsStarted, ms(bare.loggedIn));
        threadsEnded = std::min(threadsEnded, ms(bare.closed));
    }
    rows.push_back({count + " threads alone, each making an epoll descriptor and an eventfd: started, ms, best of " +
                        std::to_string(ROUNDS) + " (baseline: the raw clients' connect and login)",
                    formatFixed(threadsStarted, 1), formatFixed(rawLogin, 1), ratioText(threadsStarted, rawLogin)});
    rows.push_back({count + " threads alone: each told to end and joined in turn, ms, best of " +
                        std::to_string(ROUNDS) + " (baseline: the raw clients' logout and close)",
                    formatFixed(threadsEnded, 1), formatFixed(rawClose, 1), ratioText(threadsEnded, rawClose)});
    return rows;
}

// One trader's round trip: alone, then among TRADERS - 1 that receive
// pushes, in each mode, alternating.
std::vector<Row> roundTripUnderLoad(const Options& options, kra::NXSEntrust& entrust) {
    std::vector<Row> rows;
    struct Samples {
        std::vector<int64_t> alone, loaded;
        uint64_t pushesDuring = 0;
        double pushSeconds = 0;
    } samples[2];
    for (int round = 0; round < ROUNDS; ++round) {
        for (Threads threads : {Threads::Own, Threads::Shared}) {
            Samples& s = samples[static_cast<int>(threads)];
            {
                ScaleServer server(PUSH_PERIOD, LIMIT);
                std::atomic<int64_t> answered{0};
                Fleet one(options, threads, server.port(), 1, "quiet", &answered);
                roundTrips(one.trader(0), one.tally, answered, entrust, s.alone);
            }
            {
                ScaleServer server(PUSH_PERIOD, LIMIT);
                std::atomic<int64_t> answered{0};
                Fleet quiet(options, threads, server.port(), 1, "quiet", &answered);
                Fleet busy(options, threads, server.port(), TRADERS - 1, "busy");
                std::this_thread::sleep_for(SETTLE);
                const uint64_t pushesBefore = busy.tally.pushes.load();
                const Clock::time_point start = Clock::now();
                roundTrips(quiet.trader(0), quiet.tally, answered, entrust, s.loaded);
                s.pushesDuring += busy.tally.pushes.load() - pushesBefore;
                s.pushSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
    }
    const std::string others = formatCount(static_cast<double>(TRADERS - 1));
    for (Threads threads : {Threads::Own, Threads::Shared}) {
        Samples& s = samples[static_cast<int>(threads)];
        const std::string label = "round trip of one trader, an order every 1 ms, while " + others +
                                  " others receive an order push every " + std::to_string(PUSH_PERIOD.count()) +
                                  " ms each (" + formatCount(static_cast<double>(s.pushesDuring) / s.pushSeconds) +
                                  " pushes/s delivered), us, " + formatCount(static_cast<double>(s.alone.size())) +
                                  " orders (baseline: the same trader alone) [" + threadsName(options, threads) + "]";
        const double a50 = static_cast<double>(quantile(s.loaded, 0.5)), b50 = static_cast<double>(quantile(s.alone, 0.5));
        const double a99 = static_cast<double>(quantile(s.loaded, 0.99)), b99 = static_cast<double>(quantile(s.alone, 0.99));
        rows.push_back({label + " median", formatFixed(a50 / 1000, 1), formatFixed(b50 / 1000, 1), ratioText(a50, b50)});
        rows.push_back({label + " p99", formatFixed(a99 / 1000, 1), formatFixed(b99 / 1000, 1), ratioText(a99, b99),
                        goalAtMost(a99, b99, 1.5)});
    }
    return rows;
}

std::size_t readNumber(const char* path) {
    std::ifstream file(path);
    std::size_t value = 0;
    file >> value;
    return value;
}

// What many traders in this process need beyond what it has: empty when it
// has all of it, else one sentence per missing limit, with what to set.
// threadsNeeded: the traders' network threads.
std::string missingForMany(std::size_t many, double descriptorsPer, std::size_t traderThreads) {
    std::string missing;
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    // The traders' descriptors, then the raw clients' (one each, after the
    // traders are released), plus what the process holds already.
    const std::size_t descriptors =
        static_cast<std::size_t>(static_cast<double>(many) * descriptorsPer) + openDescriptors() +
        DESCRIPTOR_MARGIN;
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < descriptors)
        missing += "the descriptor limit is " + formatCount(static_cast<double>(files.rlim_cur)) + " (hard " +
                   formatCount(static_cast<double>(files.rlim_max)) + "), " + formatCount(static_cast<double>(many)) +
                   " traders need " + formatCount(static_cast<double>(descriptors)) + ": run `ulimit -n " +
                   std::to_string(descriptors) + "` (or more) before the benchmark. ";
    rlimit processes{};
    ::getrlimit(RLIMIT_NPROC, &processes);
    const std::size_t threadsNeeded = traderThreads + threads() + 16;
    if (processes.rlim_cur != RLIM_INFINITY && processes.rlim_cur < threadsNeeded)
        missing += "the user's process limit (threads count against it) is " +
                   formatCount(static_cast<double>(processes.rlim_cur)) + ", the traders need " +
                   formatCount(static_cast<double>(threadsNeeded)) + " threads: `ulimit -u " +
                   std::to_string(threadsNeeded) + "`. ";
    const std::size_t threadsMax = readNumber("/proc/sys/kernel/threads-max");
    if (threadsMax != 0 && threadsMax < threadsNeeded)
        missing += "kernel.threads-max is " + formatCount(static_cast<double>(threadsMax)) + ": raise it to " +
                   std::to_string(threadsNeeded * 2) + ". ";
    // Every thread's stack is a mapping and its guard page another, every
    // trader object and flow file one more each.
    const std::size_t maps = readNumber("/proc/sys/vm/max_map_count");
    const std::size_t mapsNeeded = threadsNeeded * 2 + many * 2 + 1024;
    if (maps != 0 && maps < mapsNeeded)
        missing += "vm.max_map_count is " + formatCount(static_cast<double>(maps)) + ": raise it to " +
                   std::to_string(mapsNeeded) + ". ";
    return missing;
}

}  // namespace

// options.many traders (10,000 unless --many says otherwise) end to end:
// connect and log in, one order each, release; the raw clients' same exchange
// as the baseline. Then one trader's round trip alone and among the others
// receiving pushes. Refuses to start, saying what
// to set, when the process's limits cannot hold them all.
std::vector<Row> runScaleMany(const Options& options) {
    const std::size_t many = options.many;
    const Threads mode = options.manyThreads;
    raiseDescriptorLimit();
    // A logged-in trader's socket, and with a thread of its own its event
    // loop's epoll descriptor and eventfd.
    const double descriptorsPer = mode == Threads::Own ? 3 : 1;
    const std::size_t traderThreads = mode == Threads::Own ? many : NetworkPool::MAX_THREADS;
    if (const std::string missing = missingForMany(many, descriptorsPer, traderThreads); !missing.empty())
        throw std::runtime_error(missing + "Nothing was run.");
    kra::NXSEntrust entrust;
    fillEntrust(entrust, 0);
    std::vector<Row> rows;
    const std::string count = formatCount(static_cast<double>(many));
    double loggedIn = 0, ordered = 0, released = 0, kib = 0, threadsEach = 0, descriptorsEach = 0;
    double loggedInAgain = 0, releasedAgain = 0, preCreated = 0, loggedInPreCreated = 0;
    RawTimes raw{};
    // Both servers are forked before the first trader, while the process is
    // small: a fork copies the page tables of everything mapped.
    ScaleServer pushing(PUSH_PERIOD, MANY_LIMIT);
    {
        ScaleServer server(std::chrono::milliseconds(0), MANY_LIMIT);
        raw = rawClients(server.port(), many);
        const double rssBefore = residentKiB();
        const std::size_t threadsBefore = threads(), descriptorsBefore = openDescriptors();
        {
            Fleet fleet(options, mode, server.port(), many, "many");
            loggedIn = ms(fleet.loggedInAfter);
            ordered = ms(fleet.orderEach(entrust));
            kib = (residentKiB() - rssBefore) / static_cast<double>(many);
            threadsEach = static_cast<double>(threads() - threadsBefore) / static_cast<double>(many);
            descriptorsEach =
                static_cast<double>(openDescriptors() - descriptorsBefore) / static_cast<double>(many);
            released = ms(fleet.releaseAll());
        }
        // The same users again: their flow files exist now, as on every
        // login after a host's first.
        Fleet again(options, mode, server.port(), many, "many");
        loggedInAgain = ms(again.loggedInAfter);
        releasedAgain = ms(again.releaseAll());
        // Other users whose flow files the host made beforehand, in a folder
        // of their own, on this thread, as a host could before its first
        // start: whether making them ahead pays for the first logins.
        Options ahead = options;
        ahead.folder = options.folder + "made-ahead/";
        preCreated = ms(makeFlowFiles(ahead.folder, "ahead", many));
        Fleet made(ahead, mode, server.port(), many, "ahead");
        loggedInPreCreated = ms(made.loggedInAfter);
    }
    // One trader's round trip alone, then among many - 1 others that receive
    // an order push every PUSH_PERIOD each, against a server that pushes.
    std::vector<int64_t> alone, loaded;
    double pushesPerSecond = 0;
    std::string roundTripFailure;
    try {
        std::atomic<int64_t> answered{0};
        Fleet quiet(options, mode, pushing.port(), 1, "quiet", &answered);
        roundTrips(quiet.trader(0), quiet.tally, answered, entrust, alone);
        Fleet busy(options, mode, pushing.port(), many - 1, "many");
        std::this_thread::sleep_for(SETTLE);
        const uint64_t pushesBefore = busy.tally.pushes.load();
        const Clock::time_point start = Clock::now();
        try {
            roundTrips(quiet.trader(0), quiet.tally, answered, entrust, loaded);
        } catch (const std::exception& e) {
            roundTripFailure = e.what();
        }
        pushesPerSecond = static_cast<double>(busy.tally.pushes.load() - pushesBefore) /
                          std::chrono::duration<double>(Clock::now() - start).count();
    } catch (const std::exception& e) {
        roundTripFailure = e.what();
    }
    const std::string prefix = count + " traders in one process [" + threadsName(options, mode) + "]: ";
    const double rawLogin = ms(raw.loggedIn), rawClose = ms(raw.closed);
    const std::string loginBaseline =
        " (baseline: " + count + " raw clients on one thread: connect, send the login, read the answer)";
    rows.push_back({prefix + "connect and log in, each creating its flow file, ms" + loginBaseline,
                    formatFixed(loggedIn, 0), formatFixed(rawLogin, 0), ratioText(loggedIn, rawLogin),
                    goalAtMost(loggedIn, rawLogin, 2.0)});
    rows.push_back({prefix + "connect and log in again, flow files existing, ms" + loginBaseline,
                    formatFixed(loggedInAgain, 0), formatFixed(rawLogin, 0), ratioText(loggedInAgain, rawLogin),
                    goalAtMost(loggedInAgain, rawLogin, 2.0)});
    rows.push_back({prefix + "the host makes the flow files of other users beforehand (12 bytes each, a new folder, one "
                             "thread), ms",
                    formatFixed(preCreated, 0), "-", "-"});
    rows.push_back({prefix + "then those users connect and log in, ms" + loginBaseline, formatFixed(loggedInPreCreated, 0),
                    formatFixed(rawLogin, 0), ratioText(loggedInPreCreated, rawLogin),
                    goalAtMost(loggedInPreCreated, rawLogin, 2.0)});
    rows.push_back({prefix + "one orderInsert each, one after the other on one thread, until every answer is in, ms",
                    formatFixed(ordered, 0), "-", "-"});
    const std::string closeBaseline = " (baseline: the raw clients send the logout and close)";
    rows.push_back({prefix + "release and deleteTrader of each, one after the other, ms" + closeBaseline,
                    formatFixed(released, 0), formatFixed(rawClose, 0), ratioText(released, rawClose),
                    goalAtMost(released, rawClose, 2.0)});
    rows.push_back({prefix + "release and deleteTrader of each again, ms" + closeBaseline,
                    formatFixed(releasedAgain, 0), formatFixed(rawClose, 0), ratioText(releasedAgain, rawClose),
                    goalAtMost(releasedAgain, rawClose, 2.0)});
    const std::string label = prefix + "round trip of one trader, an order every 1 ms, while " +
                              formatCount(static_cast<double>(many - 1)) + " others receive an order push every " +
                              std::to_string(PUSH_PERIOD.count()) + " ms each (" + formatCount(pushesPerSecond) +
                              " pushes/s delivered), us, " + formatCount(static_cast<double>(alone.size())) +
                              " orders (baseline: the same trader before the others logged in)";
    if (!roundTripFailure.empty()) {
        rows.push_back({label + ": FAILED (" + roundTripFailure + ")", "-", "-", "-", "-"});
    } else {
        const double a50 = static_cast<double>(quantile(loaded, 0.5)), b50 = static_cast<double>(quantile(alone, 0.5));
        const double a99 = static_cast<double>(quantile(loaded, 0.99)), b99 = static_cast<double>(quantile(alone, 0.99));
        rows.push_back({label + " median", formatFixed(a50 / 1000, 1), formatFixed(b50 / 1000, 1), ratioText(a50, b50)});
        rows.push_back({label + " p99", formatFixed(a99 / 1000, 1), formatFixed(b99 / 1000, 1), ratioText(a99, b99),
                        goalAtMost(a99, b99, 1.5)});
    }
    rows.push_back({prefix + "after the order: resident memory per trader, KiB; threads per trader; descriptors per trader",
                    formatFixed(kib, 0) + "; " + formatFixed(threadsEach, 2) + "; " + formatFixed(descriptorsEach, 2),
                    "-", "-"});
    return rows;
}

namespace {

}  // namespace

std::vector<Row> runScale(const Options& options) {
    raiseDescriptorLimit();
    kra::NXSEntrust entrust;
    fillEntrust(entrust, 0);
    std::vector<Row> rows;
    // Each phase on its own: one that fails leaves a row saying so.
    auto phase = [&rows](const char* name, auto&& run) {
        try {
            for (Row& row : run()) rows.push_back(std::move(row));
        } catch (const std::exception& e) {
            rows.push_back({std::string("scale, ") + name + ": FAILED (" + e.what() + ")", "-", "-", "-", "-"});
        }
    };
    phase("connect and release", [&] { return connectAndRelease(options); });
    phase("round trip under load", [&] { return roundTripUnderLoad(options, entrust); });
    return rows;
}

}  // namespace hvr::bench
