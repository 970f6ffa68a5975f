// The shared mode's own rules, one test each: traders on the threads of the
// process's network pool (init key threads=shared). The traders are linked in
// process, so that a test can reach a connection's socket through the seams;
// each has a scripted loopback server of its own. (That every line, event,
// file and socket option comes out as in the default mode is shown by the
// end-to-end tests, which ctest runs a second time in the shared mode.)
#include <gtest/gtest.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/NXSConfigNode.h"
#include "support/PeerPackets.h"
#include "support/Sanitizers.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/TestListener.h"
#include "texts/LogText.h"
#include "trader/NetworkPool.h"
#include "trader/TraderHVR.h"

namespace hvr::test {
namespace {

using namespace std::chrono_literals;

// A one-shot gate a callback waits at; the deadline is only ever reached by a
// failing test.
class Gate {
public:
    void open() { opened.set_value(); }
    bool waitOpen() { return gate.wait_for(10s) == std::future_status::ready; }

private:
    std::promise<void> opened;
    std::shared_future<void> gate = opened.get_future().share();
};

// Records on which threads the network side calls it, and whether two of
// those calls ever overlapped. before runs at the start of each such call.
class WatchingListener : public TestListener {
public:
    void onTraderEvent(int kind, int code) override {
        // disconnect's (1, 0) comes on the calling host thread, as in the
        // default mode.
        if (kind == 1 && code == 0) return TestListener::onTraderEvent(kind, code);
        Watch w(*this);
        TestListener::onTraderEvent(kind, code);
    }
    void onLoginResult(bool ok, const char* message, uint32_t date) override {
        Watch w(*this);
        TestListener::onLoginResult(ok, message, date);
    }
    void onAccountAnswer(kra::NXSArray* a) override {
        Watch w(*this);
        TestListener::onAccountAnswer(a);
    }
    void onOrderPush(kra::NXSOrderInfo* o) override {
        Watch w(*this);
        TestListener::onOrderPush(o);
    }

    std::set<std::thread::id> threads() {
        std::lock_guard<std::mutex> guard(watchLock);
        return seen;
    }
    std::atomic<bool> overlapped{false};
    std::function<void()> before;  // set before connect

private:
    struct Watch {
        explicit Watch(WatchingListener& l) : l(l) {
            if (l.inside.fetch_add(1) != 0) l.overlapped = true;
            {
                std::lock_guard<std::mutex> guard(l.watchLock);
                l.seen.insert(std::this_thread::get_id());
            }
            std::this_thread::yield();  // widens the window another call would overlap in
            if (l.before) l.before();
        }
        ~Watch() { l.inside.fetch_sub(1); }
        WatchingListener& l;
    };
    std::atomic<int> inside{0};
    std::mutex watchLock;
    std::set<std::thread::id> seen;
};

// One trader in the shared mode, with a scripted server of its own.
struct Member {
    explicit Member(unsigned poolThreads, const std::string& folder, const std::string& port = "") {
        kra::NXSMapNode config;
        config.set("host", "127.0.0.1").set("port", port.empty() ? server.portText() : port);
        config.set("folder", folder).set("threads", "shared").set("poolthreads", std::to_string(poolThreads));
        trader->init(&config);
        trader->registerListener(&listener);
    }
    ~Member() {
        if (trader) trader->release();
    }
    void connected() {
        trader->connect();
        ASSERT_TRUE(listener.waitForEvent(0, 0));
        ASSERT_TRUE(server.waitForConnections(1));
    }
    void push(uint64_t id) { server.send(pushPacket(id, 60, order(static_cast<uint32_t>(id), "IF2412", 35002000, 1))); }

    ScriptedServer server;
    WatchingListener listener;
    std::unique_ptr<TraderHVR> trader{new TraderHVR};
};

std::size_t entries(const char* folder) {
    std::size_t n = 0;
    if (DIR* dir = ::opendir(folder)) {
        while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}
std::size_t openDescriptors() { return entries("/proc/self/fd") - 1; }  // less the listing's own
std::size_t poolThreads() {
    std::size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            n += name == NetworkPool::POOL_THREAD_NAME;
        }
        ::closedir(dir);
    }
    return n;
}

// Threads the pool has ended may stay listed for a moment after their join.
bool poolThreadsBecome(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (poolThreads() != count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}
class SharedPool : public ::testing::Test {
protected:
    TempDir dir;
};

// Each trader's callbacks come from one pool thread, never two at once; the
// traders are spread over the pool's threads.
TEST_F(SharedPool, EachTradersCallbacksRunOnItsOnePoolThreadOneAtATime) {
    constexpr int TRADERS = 4, PUSHES = 200;
    std::vector<std::unique_ptr<Member>> members;
    for (int i = 0; i < TRADERS; ++i) members.push_back(std::make_unique<Member>(2, dir.prefix()));
    for (auto& m : members) m->connected();
    for (int round = 0; round < 3; ++round) {
        for (auto& m : members) {
            std::string burst;
            for (int p = 1; p <= PUSHES; ++p)
                burst += pushPacket(round * PUSHES + p, 60, order(static_cast<uint32_t>(p), "IF2412", 35002000, 1));
            m->server.send(burst);
            ASSERT_EQ(m->trader->queryAccount(), 0);
        }
        for (auto& m : members) {
            ASSERT_TRUE(m->server.waitPacket(FC_QRY_ACCOUNT_INFO).has_value());
            m->server.send(rawPacket(FC_QRY_ACCOUNT_INFO, ""));
        }
    }
    std::set<std::thread::id> all;
    for (auto& m : members) {
        ASSERT_TRUE(m->listener.waitFor([&] {
            return m->listener.orderPushes.size() == 3 * PUSHES && m->listener.accountAnswers.size() == 3;
        }));
        const std::set<std::thread::id> threads = m->listener.threads();
        EXPECT_EQ(threads.size(), 1u);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
        EXPECT_FALSE(m->listener.overlapped);
        all.insert(threads.begin(), threads.end());
    }
    EXPECT_EQ(all.size(), 2u);
}

// A trader waiting the two seconds after a refused attempt does not hold its
// pool thread: another trader's answer, already waiting in its socket when the
// wait begins, is delivered before the waiting trader's next attempt starts.
TEST_F(SharedPool, ReconnectWaitIsATimerThatLetsTheOtherTradersOnTheThreadGoOn) {
    std::string refusing;
    {
        ScriptedServer gone;
        refusing = gone.portText();
    }
    Member other(1, dir.prefix());
    std::atomic<int> otherSocket{-1};
    TraderHVR::TestSeams seams;
    seams.afterConnected = [&](int fd) { otherSocket = fd; };
    other.trader->setSeamsForTests(seams);
    other.connected();

    Member waiting(1, dir.prefix(), refusing);
    Gate held, go;
    std::atomic<bool> once{false};
    waiting.listener.setOnEvent([&](int kind, int code) {
        if (kind != 0 || code == 0 || once.exchange(true)) return;
        held.open();   // the pool thread is in this callback: nothing else runs on it
        go.waitOpen();  // returning starts the closed line and the wait
    });
    std::atomic<long> startsWhenAnswered{-1};
    other.listener.before = [&] { startsWhenAnswered = static_cast<long>(waiting.listener.countLogs(LOG_CONNECT_START)); };
    waiting.trader->connect();
    ASSERT_TRUE(held.waitOpen());

    ASSERT_EQ(other.trader->queryAccount(), 0);  // sent from this thread at once
    ASSERT_TRUE(other.server.waitPacket(FC_QRY_ACCOUNT_INFO).has_value());
    other.server.send(rawPacket(FC_QRY_ACCOUNT_INFO, ""));
    pollfd readable{otherSocket.load(), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 10000), 1);  // the answer waits in the socket
    go.open();

    ASSERT_TRUE(other.listener.waitFor([&] { return !other.listener.accountAnswers.empty(); }));
    EXPECT_EQ(startsWhenAnswered.load(), 1) << "the answer waited for the end of the two seconds";
    EXPECT_TRUE(waiting.listener.waitForLog(LOG_CONNECT_START, 2));  // the retry still comes
}

// release waits for the trader's close step on its pool thread (here behind
// another trader's callback on the same thread), and deleteTrader right after
// it leaves the pool thread serving the others.
TEST_F(SharedPool, ReleaseWaitsForTheCloseStepOnItsPoolThreadAndDeleteIsSafeRightAfter) {
    auto released = std::make_unique<Member>(1, dir.prefix());
    Member busy(1, dir.prefix());
    released->connected();
    busy.connected();
    Gate holding, go;
    busy.listener.before = [&] {
        if (busy.listener.orderPushes.size() == 0) {  // the first push only
            holding.open();
            go.waitOpen();
        }
    };
    busy.push(1);
    ASSERT_TRUE(holding.waitOpen());

    auto releasing = std::async(std::launch::async, [&] { released->trader->release(); });
    // The close step is queued behind the held callback: release cannot have
    // returned.
    EXPECT_EQ(releasing.wait_for(200ms), std::future_status::timeout);
    go.open();
    ASSERT_EQ(releasing.wait_for(10s), std::future_status::ready);
    // The close step has run: its (1, 0) was delivered before release returned.
    EXPECT_EQ(released->listener.countEvents(1, 0), 1u);
    kra::ITraderApi* api = released->trader.release();
    TraderHVR::destroy(api);
    EXPECT_EQ(api, nullptr);

    busy.push(2);
    EXPECT_TRUE(busy.listener.waitFor([&] { return busy.listener.orderPushes.size() == 2; }));
}

// Nothing a pool thread does waits for another trader's work: with one pool
// thread held in a listener, a trader on the other thread is answered and
// released, and on a pool thread release and deleteTrader are refused for any
// trader (a pool thread never waits for a close step).
TEST_F(SharedPool, APoolThreadNeverWaitsForAnotherTradersWork) {
    Member stuck(2, dir.prefix());
    auto other = std::make_unique<Member>(2, dir.prefix());
    stuck.connected();
    other->connected();
    ASSERT_NE(*stuck.listener.threads().begin(), *other->listener.threads().begin());

    Gate holding, go;
    std::atomic<bool> releaseRefused{false}, deleteRefused{false};
    stuck.listener.before = [&] {
        if (stuck.listener.orderPushes.size() != 0) return;
        try {
            other->trader->release();
        } catch (const std::exception&) {
            releaseRefused = true;
        }
        kra::ITraderApi* api = other->trader.get();
        TraderHVR::destroy(api);
        deleteRefused = api != nullptr;
        holding.open();
        go.waitOpen();
    };
    stuck.push(1);
    ASSERT_TRUE(holding.waitOpen());
    EXPECT_TRUE(releaseRefused);
    EXPECT_TRUE(deleteRefused);
    EXPECT_EQ(other->listener.countLogs(LOG_RELEASE_IN_CALLBACK), 2u);

    ASSERT_EQ(other->trader->queryAccount(), 0);
    ASSERT_TRUE(other->server.waitPacket(FC_QRY_ACCOUNT_INFO).has_value());
    other->server.send(rawPacket(FC_QRY_ACCOUNT_INFO, ""));
    EXPECT_TRUE(other->listener.waitFor([&] { return other->listener.accountAnswers.size() == 1; }));
    other.reset();  // release and delete while the other thread is still held
    go.open();
    EXPECT_TRUE(stuck.listener.waitFor([&] { return stuck.listener.orderPushes.size() == 1; }));
}

// The pool is made with the first trader that asks, with the threads it asks
// for, ends with the last one deleted, and costs a fixed few descriptors per
// thread: each trader adds its socket and nothing else.
TEST_F(SharedPool, OneSocketPerTraderAndAFixedFewDescriptorsPerPoolThread) {
    constexpr std::size_t TRADERS = 6, POOL = 3;
    ASSERT_TRUE(poolThreadsBecome(0));
    std::vector<std::unique_ptr<Member>> members;
    for (std::size_t i = 0; i < TRADERS; ++i) members.push_back(std::make_unique<Member>(POOL, dir.prefix()));
    const std::size_t before = openDescriptors();
    for (std::size_t i = 0; i < TRADERS; ++i) {
        Member& m = *members[i];
        m.connected();
        // A login opens the user's flow file, maps it and keeps its lock
        // without a descriptor.
        m.trader->login(("user" + std::to_string(i)).c_str(), "pw", "desk");
        ASSERT_TRUE(m.server.waitPacket(FC_CMD_LOGIN).has_value());
        m.server.send(packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261208, 1)));
        ASSERT_TRUE(m.listener.waitFor([&] { return m.listener.loginResults.size() == 1; }));
    }
    EXPECT_EQ(poolThreads(), POOL);
    // Each connection is two descriptors in this process: the trader's socket
    // and the scripted server's end of it.
    EXPECT_EQ(openDescriptors() - before, 2 * TRADERS + 2 * POOL);  // each pool thread: epoll, eventfd
    members.clear();
    EXPECT_TRUE(poolThreadsBecome(0));
}

// A forked child's copy of a shared trader does nothing, and a trader the
// child makes in the shared mode gets a pool of its own (the parent's threads
// are not in the child) and connects.
TEST_F(SharedPool, ForkedChildMakesAPoolOfItsOwn) {
#if HVR_UNDER_TSAN || HVR_UNDER_ASAN
    GTEST_SKIP() << "a sanitizer's runtime cannot carry a child of a threaded process that allocates (Sanitizers.h)";
#endif
    Member parent(1, dir.prefix());
    parent.connected();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool quiet = parent.trader->queryAccount() == -1;
        parent.trader->release();
        kra::ITraderApi* copy = parent.trader.release();
        TraderHVR::destroy(copy);  // left to the process
        TestListener listener;
        auto own = std::make_unique<TraderHVR>();
        kra::NXSMapNode config;
        config.set("host", "127.0.0.1").set("port", parent.server.portText()).set("threads", "shared");
        own->init(&config);
        own->registerListener(&listener);
        own->connect();
        const bool connected = listener.waitForEvent(0, 0);
        own->release();
        own.reset();
        ::_exit(quiet && copy == nullptr && connected ? 0 : 3);
    }
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            FAIL() << "the child hung";
        }
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(parent.server.waitForConnections(2));  // the child's own trader
    ASSERT_EQ(parent.trader->queryOrders(), 0);      // the parent's goes on
    EXPECT_TRUE(parent.server.waitPacket(FC_QRY_ORDERS).has_value());
}

}  // namespace
}  // namespace hvr::test
