// The hvr-sim binary as scripts use it: the startup line on stdout, the port
// file, exit 0 on SIGTERM, exit 2 on bad flags, exit 3 on a database in use;
// and as a hostile world treats it: too few file descriptors, kill -9.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "TestClient.h"

namespace hvr::sim::testing {
namespace {

struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;  // the child's stdout
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

int exitCodeOf(Child& child) {
    int status = 0;
    waitpid(child.pid, &status, 0);
    fclose(child.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    const int port = readPort(first);
    ASSERT_NE(port, 0);
    {
        TestClient trader(static_cast<uint16_t>(port));
        trader.login("demo", "demo");
        ASSERT_EQ(trader.insert("IF2412", 34000000, 1, exchg::DT_Long).result(), 0);
    }
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

}  // namespace
}  // namespace hvr::sim::testing
