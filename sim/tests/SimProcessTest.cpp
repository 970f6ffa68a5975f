// The hvr-sim binary as scripts use it: the startup line on stdout, the port
// file, exit 0 on SIGTERM, exit 2 on bad flags, exit 3 on a database in use
// or unreadable; and as a hostile world treats it: too few file descriptors,
// idle connections, kill -9, a full disk, saves that fail.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RawConnection.h"
#include "TempDir.h"
#include "TestClient.h"

namespace hvr::sim::testing {
namespace {

// A child hvr-sim. One that no exitCode...() call has waited for is killed
// when the object goes, so a failed assertion leaves no server behind.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;  // the child's stdout

    Child(pid_t p, FILE* o) : pid(p), out(o) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (out) fclose(out);
    }
};

struct SpawnSettings {
    std::string stderrPath;  // empty: inherited
    rlim_t maxFiles = 0;     // 0: inherited
};

Child spawn(std::vector<std::string> args, const SpawnSettings& settings = {}) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    args.insert(args.begin(), HVR_SIM_BINARY);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        if (!settings.stderrPath.empty()) {
            const int log = open(settings.stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (log >= 0) dup2(log, STDERR_FILENO);
        }
        if (settings.maxFiles != 0) {
            const rlimit limit{settings.maxFiles, settings.maxFiles};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        close(pipeFds[0]);
        close(pipeFds[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return Child{pid, fdopen(pipeFds[0], "r")};
}

// The port of the startup line; 0 when the child printed none.
int readPort(Child& child) {
    char line[128] = {};
    if (!fgets(line, sizeof line, child.out)) return 0;
    const std::string text(line);
    const std::string prefix = "hvr-sim listening on 127.0.0.1:";
    return text.rfind(prefix, 0) == 0 ? std::stoi(text.substr(prefix.size())) : 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Reads the file until it contains text; false when that takes 10 s.
bool waitForText(const std::string& path, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Orders in the database, read through a read-only connection of our own.
int64_t ordersIn(const std::string& db) {
    sqlite3* handle = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle, "SELECT COUNT(*) FROM orders", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return count;
}

// Logs in to the child just started and places one resting order.
bool placedOneOrder(Child& child) {
    const int port = readPort(child);
    if (port == 0) return false;
    TestClient trader(static_cast<uint16_t>(port));
    trader.login("demo", "demo");
    return trader.insert("IF2412", 34000000, 1, exchg::DT_Long).result() == 0;
}

int exitStatus(Child& child, int status) {
    child.pid = -1;
    fclose(child.out);
    child.out = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int exitCodeOf(Child& child) {
    int status = 0;
    waitpid(child.pid, &status, 0);
    return exitStatus(child, status);
}

// The exit code of a child expected to end by itself; -1, with the child
// killed, when it still runs after 10 s.
int exitCodeSoon(Child& child) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(child.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exitStatus(child, status);
}

TEST(SimProcess, AnnouncesItsPortServesAndExitsZeroOnSigterm) {
    TempDir dir;
    Child child = spawn({"--db", dir.file("p.db"), "--fresh-day", "--port-file", dir.file("port")});
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, child.out), nullptr);
    const std::string text(line);
    const std::string prefix = "hvr-sim listening on 127.0.0.1:";
    ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
    const int port = std::stoi(text.substr(prefix.size()));
    EXPECT_EQ(text.back(), '\n');

    std::ifstream portFile(dir.file("port"));
    int filed = 0;
    portFile >> filed;
    EXPECT_EQ(filed, port);

    TestClient client(static_cast<uint16_t>(port));
    EXPECT_EQ(client.login("demo", "demo").result(), 0);

    kill(child.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(child), 0);
}

TEST(SimProcess, BadFlagsExitWithCodeTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--listen", "0.0.0.0"}, {"--bogus"}, {"--trading-date", "20241399"}, {"stray-word"},
             {"--log-level", "loud"}, {"--max-connections", "0"}}) {
        Child child = spawn(args);
        EXPECT_EQ(exitCodeOf(child), 2) << args.front();
    }
}

TEST(SimProcess, HelpAndVersionPrintAndExitZero) {
    for (const std::string flag : {"-h", "--help", "--version"}) {
        Child child = spawn({flag});
        char line[256] = {};
        ASSERT_NE(fgets(line, sizeof line, child.out), nullptr) << flag;
        EXPECT_EQ(std::string(line).rfind("hvr-sim", 0), 0u) << flag << ": " << line;
        EXPECT_EQ(exitCodeOf(child), 0) << flag;
    }
}

// With a descriptor limit below what --max-connections would need, the cap
// is lowered to fit: once every place is taken by a logged-in client, more
// clients are refused at once instead of leaving accept failing (and the
// server spinning on it) until some leave. The log holds one refusal line a
// second at most, and a later client gets in as soon as the crowd has gone.
TEST(SimProcess, ADescriptorLimitLowersTheCapInsteadOfRunningOut) {
    TempDir dir;
    const std::string log = dir.file("sim.log");
    const auto started = std::chrono::steady_clock::now();
    Child child = spawn({"--db", dir.file("p.db"), "--fresh-day"}, SpawnSettings{log, 48});
    const int port = readPort(child);
    ASSERT_NE(port, 0) << readFile(log);
    EXPECT_NE(readFile(log).find("--max-connections 256 lowered to 16"), std::string::npos) << readFile(log);

    std::vector<std::unique_ptr<TestClient>> crowd;
    for (int i = 0; i < 16; ++i) {
        crowd.push_back(std::make_unique<TestClient>(static_cast<uint16_t>(port)));
        ASSERT_EQ(crowd.back()->login("demo", "demo").result(), 0);
    }
    for (int i = 0; i < 44; ++i) crowd.push_back(std::make_unique<TestClient>(static_cast<uint16_t>(port)));
    ASSERT_TRUE(waitForText(log, "connections open (--max-connections)")) << readFile(log);
    crowd.clear();

    bool admitted = false;
    while (!admitted && std::chrono::steady_clock::now() < started + std::chrono::seconds(20)) {
        TestClient latecomer(static_cast<uint16_t>(port));
        try {
            admitted = latecomer.login("demo", "demo").result() == 0;
        } catch (const std::runtime_error&) {
            // refused: the crowd's sessions were still counted
        }
    }
    EXPECT_TRUE(admitted);
    kill(child.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(child), 0) << readFile(log);

    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    const std::string text = readFile(log);
    EXPECT_EQ(countOf(text, "accept failed"), 0u) << text.substr(0, 3000);
    EXPECT_LE(countOf(text, "connections open (--max-connections)"), static_cast<std::size_t>(seconds) + 2)
        << text.substr(0, 3000);
    EXPECT_EQ(text.find("runtime error"), std::string::npos) << text.substr(0, 3000);
}

// A second server on a database in use exits 3 without touching it, a
// reader may open the database read-only meanwhile, and a server killed
// with -9 can be started again on it at once.
TEST(SimProcess, DatabaseIsLockedWhileServedAndFreeAfterKillNine) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    Child first = spawn({"--db", db, "--fresh-day"});
    ASSERT_TRUE(placedOneOrder(first));
    EXPECT_EQ(ordersIn(db), 1);

    Child second = spawn({"--db", db, "--fresh-day", "--trading-date", "20240102"},
                         SpawnSettings{dir.file("second.log"), 0});
    EXPECT_EQ(exitCodeOf(second), 3);
    EXPECT_NE(readFile(dir.file("second.log")).find("in use"), std::string::npos);
    EXPECT_EQ(ordersIn(db), 1);

    kill(first.pid, SIGKILL);
    exitCodeOf(first);
    Child restarted = spawn({"--db", db});
    const int again = readPort(restarted);
    ASSERT_NE(again, 0);
    TestClient trader(static_cast<uint16_t>(again));
    trader.login("demo", "demo");
    trader.send(FC_QRY_ORDERS, 9);
    EXPECT_EQ(trader.receiveAs<exchg::OrderList>(FC_QRY_ORDERS).orders_size(), 1);
    kill(restarted.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(restarted), 0);
}

// 150 connections that never send a byte, against a server that may serve
// 32 at once (ulimit -n 64): a client that connects after them still logs in
// at once, as the oldest of them makes room for it.
TEST(SimProcess, IdleConnectionsDoNotLockOutAClientUnderASmallDescriptorLimit) {
    TempDir dir;
    const std::string log = dir.file("sim.log");
    Child child = spawn({"--db", dir.file("p.db"), "--fresh-day"}, SpawnSettings{log, 64});
    const int port = readPort(child);
    ASSERT_NE(port, 0) << readFile(log);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 150; ++i) idle.push_back(std::make_unique<RawConnection>(static_cast<uint16_t>(port)));

    const auto started = std::chrono::steady_clock::now();
    TestClient client(static_cast<uint16_t>(port));
    try {
        EXPECT_EQ(client.login("demo", "demo").result(), 0);
    } catch (const std::runtime_error& e) {
        ADD_FAILURE() << "the login did not get through: " << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    kill(child.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(child), 0);
}

// A file that is not a database, and a database with a damaged page: the
// server refuses to start on either, with or without --fresh-day, says why,
// exits 3, and leaves the file as it was.
TEST(SimProcess, ADatabaseThatIsNotOneOrIsDamagedStopsTheStartWithCodeThreeUntouched) {
    TempDir dir;
    const std::string notes = dir.file("notes.db");
    {
        std::ofstream out(notes);
        for (int i = 0; i < 100; ++i) out << "these are notes, not a trading day\n";
    }
    const std::string damaged = dir.file("damaged.db");
    {
        Child first = spawn({"--db", damaged, "--fresh-day"});
        ASSERT_TRUE(placedOneOrder(first));
        kill(first.pid, SIGTERM);
        ASSERT_EQ(exitCodeOf(first), 0);
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096);  // page 2, the root of the first table
        file << std::string(4096, '\xa5');
    }
    for (const std::string& db : {notes, damaged}) {
        for (const bool fresh : {false, true}) {
            SCOPED_TRACE(db + (fresh ? " with --fresh-day" : ""));
            const std::string before = readFile(db);
            std::vector<std::string> args = {"--db", db};
            if (fresh) args.push_back("--fresh-day");
            const std::string log = dir.file("refused.log");
            std::remove(log.c_str());
            Child child = spawn(args, SpawnSettings{log, 0});
            EXPECT_EQ(exitCodeSoon(child), 3);
            EXPECT_NE(readFile(log).find("is not a readable hvr-sim database"), std::string::npos) << readFile(log);
            EXPECT_TRUE(readFile(db) == before) << "the file was changed";
        }
    }
}

// Saves that fail (--fail-writes-after): the orders saved before are
// answered and pushed, the one that fails and every one after it are
// refused with EC_DB_ERROR, the log holds one error line a second however
// many are refused, and a restart shows exactly what was reported.
TEST(SimProcess, FailingSavesRefuseWithOneLogLineASecondAndARestartShowsWhatWasReported) {
    TempDir dir;
    const std::string db = dir.file("p.db");
    const std::string log = dir.file("sim.log");
    Child child = spawn({"--db", db, "--fresh-day", "--fail-writes-after", "3", "--log-file", log,
                         "--heartbeat-seconds", "0"});  // only answers and pushes arrive
    const int port = readPort(child);
    ASSERT_NE(port, 0) << readFile(log);
    TestClient trader(static_cast<uint16_t>(port));
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);  // save 1: the session id
    for (uint64_t order = 1; order <= 2; ++order) {       // saves 2 and 3
        ASSERT_EQ(trader.insert("IF2412", 35000000, 1, exchg::DT_Long).orderid(), order);
        for (int push = 0; push < 3; ++push) trader.receivePush();
    }
    const auto firstRefusal = std::chrono::steady_clock::now();
    const exchg::ReqOrderInsert filling = limitOrder("IF2412", 35000000, 1, exchg::DT_Long);
    trader.sendMany(FC_CMD_ORDER_INSERT, &filling, 300);
    for (int i = 0; i < 300; ++i)  // answers only: a push would fail this
        ASSERT_EQ(trader.receiveAs<exchg::AnsOrderInsert>(FC_CMD_ORDER_INSERT).result(), exchg::EC_DB_ERROR);
    TestClient latecomer(static_cast<uint16_t>(port));
    EXPECT_EQ(latecomer.login("demo", "demo").result(), exchg::EC_DB_ERROR);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                         firstRefusal).count();
    EXPECT_LE(countOf(readFile(log), "cannot save the trading day"), static_cast<std::size_t>(seconds) + 1)
        << readFile(log);

    kill(child.pid, SIGKILL);
    exitCodeOf(child);
    Child restarted = spawn({"--db", db});
    const int again = readPort(restarted);
    ASSERT_NE(again, 0);
    TestClient resumed(static_cast<uint16_t>(again));
    ASSERT_EQ(resumed.login("demo", "demo", 0).result(), 0);
    for (uint64_t id = 1; id <= 6; ++id) EXPECT_EQ(resumed.receivePush().pushid(), id);
    EXPECT_EQ(resumed.insert("IF2412", 35000000, 1, exchg::DT_Long).orderid(), 3u);
    EXPECT_EQ(resumed.receivePush().pushid(), 7u);
    kill(restarted.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(restarted), 0);
}

// The server itself stopped (SIGSTOP) for longer than its idle timeout
// while a logged-in client sent an order: once it runs again (SIGCONT), what
// waits in the socket is proof of life. The order is read, carried out and
// answered, and the client is not dropped as silent. Which of the two the
// server's loop sees first on waking, the timer or the bytes, is up to the
// system: the stop is played several times, so that both orders come up.
TEST(SimProcess, AServerStoppedPastItsIdleTimeoutReadsWhatWaitsBeforeJudgingSilence) {
    TempDir dir;
    const std::string log = dir.file("sim.log");
    Child child = spawn({"--db", dir.file("p.db"), "--fresh-day", "--idle-timeout", "0.3", "--heartbeat-seconds",
                         "0", "--log-file", log});
    const int port = readPort(child);
    ASSERT_NE(port, 0) << readFile(log);
    TestClient trader(static_cast<uint16_t>(port));
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);

    for (uint32_t stop = 1; stop <= 6; ++stop) {
        SCOPED_TRACE("stop " + std::to_string(stop));
        ASSERT_EQ(kill(child.pid, SIGSTOP), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child.pid, &status, WUNTRACED), child.pid);
        ASSERT_TRUE(WIFSTOPPED(status));
        // Stopped for at least the idle timeout (any longer is the same).
        const auto stopped = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - stopped < std::chrono::milliseconds(400))
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const std::string tag = "late" + std::to_string(stop);
        const exchg::ReqOrderInsert order = limitOrder("IF2412", 34000000, 1, exchg::DT_Long, exchg::OF_Open, tag);
        trader.send(FC_CMD_ORDER_INSERT, stop, &order);
        ASSERT_EQ(kill(child.pid, SIGCONT), 0);

        exchg::AnsOrderInsert answer;
        try {
            answer = trader.receiveAs<exchg::AnsOrderInsert>(FC_CMD_ORDER_INSERT);
            trader.receivePush();  // it rests: one push
        } catch (const std::runtime_error& e) {
            FAIL() << "no answer to the order sent while the server was stopped (" << e.what() << ")\n"
                   << readFile(log);
        }
        EXPECT_EQ(answer.result(), 0);
        EXPECT_EQ(answer.usertag(), tag);
    }
    EXPECT_EQ(readFile(log).find("silent for"), std::string::npos) << readFile(log);
    kill(child.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(child), 0);
}

// A tmpfs of `size` at path, unmounted when the object goes; mounted() is
// false where the test may not mount one (it needs root).
class SmallDisk {
public:
    SmallDisk(const std::string& path, const std::string& size) : path_(path) {
        ::mkdir(path.c_str(), 0700);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

// The database on a 1 MiB disk that fills up: every order answered as
// accepted is in the database after kill -9, the first order that cannot be
// stored is refused and so is the next, an order is accepted again once
// there is room, and after the restart push ids go on above every id a
// client was sent.
TEST(SimProcess, OnAFullDiskOnlyStoredOrdersAreAcceptedAndPushIdsAreNeverReused) {
    TempDir dir;
    const std::string disk = dir.file("disk");
    SmallDisk small(disk, "1m");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const std::string room = disk + "/room";  // freed once the disk is full
    std::ofstream(room) << std::string(256 << 10, 'r');
    std::ofstream(dir.file("rich.ini")) << "[account.demo]\npassword = demo\nbalance = 1000000000\n"
                                           "[instrument.XY]\nlast = 100\nmultiplier = 1\n";
    const std::string db = disk + "/sim.db";
    const std::string log = dir.file("sim.log");
    Child child = spawn({"--db", db, "--fresh-day", "--config", dir.file("rich.ini"), "--log-file", log,
                         "--heartbeat-seconds", "0"});
    const int port = readPort(child);
    ASSERT_NE(port, 0) << readFile(log);
    TestClient trader(static_cast<uint16_t>(port));
    ASSERT_EQ(trader.login("demo", "demo").result(), 0);

    uint32_t accepted = 0;
    uint64_t lastPush = 0;
    exchg::AnsOrderInsert answer;
    for (int i = 0; i < 5000; ++i) {
        answer = trader.insert("XY", 990000, 1, exchg::DT_Long);  // rests
        if (answer.result() != 0) break;
        ++accepted;
        lastPush = trader.receivePush().pushid();
    }
    ASSERT_EQ(answer.result(), exchg::EC_DB_ERROR) << answer.message();
    EXPECT_NE(answer.message().find("cannot save"), std::string::npos) << answer.message();
    EXPECT_EQ(trader.insert("XY", 990000, 1, exchg::DT_Long).result(), exchg::EC_DB_ERROR);
    trader.send(FC_QRY_ORDERS, 1);
    EXPECT_EQ(trader.receiveAs<exchg::OrderList>(FC_QRY_ORDERS).orders_size(), static_cast<int>(accepted));

    // Room again: within a retry interval an order goes through.
    std::remove(room.c_str());
    bool again = false;
    for (int i = 0; i < 30 && !again; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        again = trader.insert("XY", 990000, 1, exchg::DT_Long).result() == 0;
    }
    ASSERT_TRUE(again) << readFile(log);
    ++accepted;
    EXPECT_EQ(trader.receivePush().pushid(), ++lastPush);

    kill(child.pid, SIGKILL);
    exitCodeOf(child);
    EXPECT_EQ(ordersIn(db), accepted);
    Child restarted = spawn({"--db", db, "--config", dir.file("rich.ini"), "--log-file", log});
    const int restartedPort = readPort(restarted);
    ASSERT_NE(restartedPort, 0) << readFile(log);
    TestClient resumed(static_cast<uint16_t>(restartedPort));
    ASSERT_EQ(resumed.login("demo", "demo", static_cast<int64_t>(lastPush) - 1).result(), 0);
    EXPECT_EQ(resumed.receivePush().pushid(), lastPush);  // the last one sent is stored too
    EXPECT_EQ(resumed.insert("XY", 990000, 1, exchg::DT_Long).result(), 0);
    EXPECT_EQ(resumed.receivePush().pushid(), lastPush + 1);
    kill(restarted.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(restarted), 0);
}

}  // namespace
}  // namespace hvr::sim::testing
