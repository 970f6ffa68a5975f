// The flow record against what an ordinary day does to its file and its user:
// the file emptied, copied over, deleted or renamed over while pushes arrive;
// a login for another user; a second holder of the same file; a new trading
// day resumed from yesterday's push id.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "support/FlowBytes.h"
#include "support/LoginExchange.h"
#include "texts/LogText.h"

namespace hvr::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t DAY = 20261208;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Writes bytes the way `cp` and a shell's `>` do: truncate, then write.
void overwrite(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

class FlowRecordSession : public ::testing::Test {
protected:
    void SetUp() override { start(trader, listener); }
    void start(TraderHandle& t, TestListener& l, const std::string& pushMode = "0") {
        auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), pushMode});
        ASSERT_TRUE(t->init(config.get()));
        t->registerListener(&l);
        t->connect();
        ASSERT_TRUE(l.waitForEvent(0, 0));
    }
    exchg_peer::ReqLogin loginAs(const char* user, uint32_t date = DAY) {
        return loginAnswered(trader.get(), server, listener, user, loginAnswer(0, "", date, 1));
    }
    // Pushes an order update with this id and waits until the trader has
    // handled it: the answer sent behind it is delivered after the store.
    void pushAndWait(uint64_t id) {
        server.send(pushPacket(id, FC_PUSH_ORDER, order(static_cast<uint32_t>(id), "IF2412", 35000000, 1)) +
                    packetOf(FC_QRY_ORDERS, exchg_peer::OrderList()));
        ++answersAwaited;
        ASSERT_TRUE(listener.waitFor([&] { return listener.orderAnswers.size() == answersAwaited; }));
    }
    std::string flowPath(const std::string& user) { return dir.prefix() + user + ".flow"; }
    std::vector<LogLine> logsWith(TestListener& l, const char* format) {
        std::vector<LogLine> found;
        for (const LogLine& line : l.logsSnapshot())
            if (line.format == format) found.push_back(line);
        return found;
    }
    void expectOneRewrite(const std::string& path, const char* damage) {
        const auto lines = logsWith(listener, LOG_FLOW_REWRITTEN);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 104);
        EXPECT_TRUE(contains(lines[0].text, path)) << lines[0].text;
        EXPECT_TRUE(contains(lines[0].text, damage)) << lines[0].text;
    }

    ScriptedServer server;
    TempDir dir;
    TestListener listener;
    TraderHandle trader;
    std::size_t answersAwaited = 0;
};

// `> demo.flow` under a running trader: the next store would raise SIGBUS
// and kill the host. The push is delivered and recorded, and the file holds
// the right 12 bytes again.
TEST_F(FlowRecordSession, EmptiedFileIsRewrittenAtTheNextPushAndTheHostLives) {
    loginAs("alice");
    pushAndWait(5);
    ASSERT_EQ(::truncate(flowPath("alice").c_str(), 0), 0);
    pushAndWait(6);
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(6, DAY));
    expectOneRewrite(flowPath("alice"), FLOW_DAMAGE_TRUNCATED);
    pushAndWait(7);
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(7, DAY));
    EXPECT_EQ(listener.countLogs(LOG_FLOW_REWRITTEN), 1u);
    EXPECT_EQ(listener.orderPushes.size(), 3u);
}

// `cp` of an older backup over the file: the next push leaves the record's
// own bytes in it, the trading date included.
TEST_F(FlowRecordSession, BackupCopiedOverTheFileHoldsTheRecordAgainAfterTheNextPush) {
    loginAs("alice");
    pushAndWait(5);
    overwrite(flowPath("alice"), flowBytes(2, DAY - 1));
    pushAndWait(8);
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(8, DAY));
}

// `rm`: the record went on writing the unlinked file, and a restart would
// replay the whole day. The next login writes the file again, before its
// request leaves.
TEST_F(FlowRecordSession, DeletedFileIsWrittenAgainAtTheNextLogin) {
    loginAs("alice");
    pushAndWait(6);
    ASSERT_EQ(::unlink(flowPath("alice").c_str()), 0);
    EXPECT_EQ(loginAs("alice").pushid(), 6);
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(6, DAY));
    expectOneRewrite(flowPath("alice"), FLOW_DAMAGE_MISSING);
    pushAndWait(7);
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(7, DAY));
    EXPECT_EQ(listener.countLogs(LOG_FLOW_REWRITTEN), 1u);
}

// A host that quits right after the file was deleted still leaves it behind
// for the next run.
TEST_F(FlowRecordSession, DeletedFileIsWrittenAgainAtRelease) {
    loginAs("alice");
    pushAndWait(6);
    ASSERT_EQ(::unlink(flowPath("alice").c_str()), 0);
    trader->release();
    trader.markReleased();
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(6, DAY));
    expectOneRewrite(flowPath("alice"), FLOW_DAMAGE_MISSING);
}

// An older file moved in under the name: believing it would repeat pushes.
TEST_F(FlowRecordSession, FileRenamedOverIsWrittenAgainFromTheRecord) {
    loginAs("alice");
    pushAndWait(6);
    const std::string older = dir.prefix() + "older";
    overwrite(older, flowBytes(2, DAY - 1));
    ASSERT_EQ(::rename(older.c_str(), flowPath("alice").c_str()), 0);
    EXPECT_EQ(loginAs("alice").pushid(), 6);
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(6, DAY));
    expectOneRewrite(flowPath("alice"), FLOW_DAMAGE_REPLACED);
    loginAs("alice");  // the answer finds the file in order: nothing more to say
    EXPECT_EQ(listener.countLogs(LOG_FLOW_REWRITTEN), 1u);
}

// A long session with no new login: the pushes themselves notice, within
// about a second, that the path names no file any more.
TEST_F(FlowRecordSession, DeletedFileIsNoticedByThePushesOfASessionThatGoesOn) {
    loginAs("alice");
    pushAndWait(1);
    ASSERT_EQ(::unlink(flowPath("alice").c_str()), 0);
    const auto deadline = std::chrono::steady_clock::now() + WAIT_LIMIT;
    uint64_t id = 1;
    while (::access(flowPath("alice").c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
        pushAndWait(++id);
        std::this_thread::sleep_for(20ms);  // pacing only; the file's return ends the loop
    }
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(id, DAY));
    expectOneRewrite(flowPath("alice"), FLOW_DAMAGE_MISSING);
}

// `>` and `cp` again and again while a stream of pushes arrives, so that
// stores fault at every point of a rewrite: every push is delivered, the host
// lives, and once the file is left alone the record puts it right.
TEST_F(FlowRecordSession, FileEmptiedAndCopiedOverWhilePushesStreamIn) {
    loginAs("alice");
    const std::string path = flowPath("alice");
    std::atomic<bool> done{false};
    std::thread vandal([&] {
        const std::string old = flowBytes(1, DAY - 1);
        for (int round = 0; !done.load(); ++round) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
            if (fd >= 0) {
                if (round % 2 == 1) (void)::write(fd, old.data(), old.size());
                ::close(fd);
            }
            std::this_thread::sleep_for(50us);
        }
    });
    constexpr uint64_t PUSHES = 10000;
    std::string burst;
    bool delivered = true;
    for (uint64_t id = 1; id <= PUSHES && delivered; ++id) {
        burst += pushPacket(id, FC_PUSH_TRADE, trade(static_cast<uint32_t>(id), 1, "IF2412", 35000000, 1));
        if (id % 100 == 0) {
            server.send(burst);
            burst.clear();
            delivered = listener.waitFor([&] { return listener.tradePushes.size() == id; });
        }
    }
    done.store(true);
    vandal.join();
    ASSERT_TRUE(delivered);
    EXPECT_EQ(loginAs("alice").pushid(), static_cast<int64_t>(PUSHES));
    pushAndWait(PUSHES + 1);
    EXPECT_EQ(fileBytes(path), flowBytes(PUSHES + 1, DAY));
}

// Switching users on one object: B's login used to send A's push id, so B
// missed pushes or got repeats. It chooses by B's own file now.
TEST_F(FlowRecordSession, LoginForAnotherUserResumesFromThatUsersFile) {
    overwrite(flowPath("bob"), flowBytes(3, DAY));
    loginAs("alice");
    pushAndWait(6);
    EXPECT_EQ(loginAs("bob").pushid(), 3);
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(6, DAY));  // A's file keeps A's progress
    pushAndWait(4);
    EXPECT_EQ(loginAs("bob").pushid(), 4);  // B's record now
    EXPECT_EQ(loginAs("alice").pushid(), 6);  // and A's file again
}

// Two objects logged in as the same user with the same folder share one
// file; the one that comes second is told.
TEST_F(FlowRecordSession, SecondHolderOfTheFileIsToldOnce) {
    loginAs("alice");
    TestListener secondListener;
    TraderHandle second;
    start(second, secondListener);
    loginAnswered(second.get(), server, secondListener, "alice", loginAnswer(0, "", DAY, 2));
    const auto lines = logsWith(secondListener, LOG_FLOW_HELD);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 104);
    EXPECT_TRUE(contains(lines[0].text, flowPath("alice"))) << lines[0].text;
    EXPECT_EQ(listener.countLogs(LOG_FLOW_HELD), 0u);

    trader->release();  // lets go of the file
    trader.markReleased();
    loginAnswered(second.get(), server, secondListener, "alice", loginAnswer(0, "", DAY, 3));
    EXPECT_EQ(secondListener.countLogs(LOG_FLOW_HELD), 1u);
}

// A and B of one user and one folder: B is told at its login, and so is A
// at each of its logins while B shares the file (A used to hear nothing, and
// resumed from B's push id after an init).
TEST_F(FlowRecordSession, HolderOfTheFileIsToldAtEachLoginWhileAnotherSharesIt) {
    loginAs("alice");
    ScriptedServer secondServer;  // each answers its own trader
    TestListener secondListener;
    TraderHandle second;
    auto config = makeConfig({"127.0.0.1", secondServer.portText(), dir.prefix(), "0"});
    ASSERT_TRUE(second->init(config.get()));
    second->registerListener(&secondListener);
    second->connect();
    ASSERT_TRUE(secondListener.waitForEvent(0, 0));
    loginAnswered(second.get(), secondServer, secondListener, "alice", loginAnswer(0, "", DAY, 2));
    EXPECT_EQ(secondListener.countLogs(LOG_FLOW_HELD), 1u);
    EXPECT_EQ(listener.countLogs(LOG_FLOW_HELD), 0u);

    loginAs("alice");
    const auto lines = logsWith(listener, LOG_FLOW_HELD);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(contains(lines[0].text, flowPath("alice"))) << lines[0].text;
    loginAnswered(second.get(), secondServer, secondListener, "alice", loginAnswer(0, "", DAY, 3));
    EXPECT_EQ(secondListener.countLogs(LOG_FLOW_HELD), 2u);

    second.close();  // lets go of the file
    loginAs("alice");
    EXPECT_EQ(listener.countLogs(LOG_FLOW_HELD), 1u);
}

// `cp` of a backup over the file while no push came used to survive: the
// next start resumed from the backup's id and missed pushes. Each login and
// release put the record back when the file no longer holds it.
TEST_F(FlowRecordSession, BackupCopiedOverAQuietFileIsUndoneAtTheNextLoginAndAtRelease) {
    loginAs("alice");
    pushAndWait(53);
    overwrite(flowPath("alice"), flowBytes(50, DAY));
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), "0"});
    ASSERT_TRUE(trader->init(config.get()));  // the next login chooses from the file
    EXPECT_EQ(loginAs("alice").pushid(), 53);
    expectOneRewrite(flowPath("alice"), FLOW_DAMAGE_CHANGED);

    overwrite(flowPath("alice"), flowBytes(50, DAY));
    trader->release();
    trader.markReleased();
    EXPECT_EQ(fileBytes(flowPath("alice")), flowBytes(53, DAY));
    EXPECT_EQ(listener.countLogs(LOG_FLOW_REWRITTEN), 2u);
}

// A child forked without exec used to keep the mapping, and with it the
// file's lock: after a release the parent's next login found its own file
// "held elsewhere", and the parent ran unlocked.
TEST_F(FlowRecordSession, ChildForkedWithoutExecKeepsNoHoldOnTheFile) {
    loginAs("alice");
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        ::close(gate[1]);
        (void)::read(gate[0], &byte, 1);  // lives until the parent is done
        ::_exit(0);
    }
    ::close(gate[0]);
    trader->release();
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), "0"});
    ASSERT_TRUE(trader->init(config.get()));
    trader->connect();
    ASSERT_TRUE(listener.waitForEvent(0, 0, 2));
    loginAs("alice");
    EXPECT_EQ(listener.countLogs(LOG_FLOW_HELD), 0u);
    ::close(gate[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
}

std::string newDayLine(uint32_t recorded, uint32_t loggedIn, long long resumedFrom) {
    char text[512];
    std::snprintf(text, sizeof text, LOG_NEW_TRADING_DAY, recorded, loggedIn, resumedFrom, resumedFrom);
    return text;
}

// A server that numbers each day's pushes from 1 skips as many of the new
// day's pushes as the id a login resumes from: said once, when the day in
// the record and the login's day differ and the login resumed from above 0.
TEST_F(FlowRecordSession, NewTradingDayAfterAResumedLoginIsWarned) {
    overwrite(flowPath("alice"), flowBytes(3, DAY - 1));
    EXPECT_EQ(loginAs("alice", DAY).pushid(), 3);
    auto lines = logsWith(listener, LOG_NEW_TRADING_DAY);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 103);
    EXPECT_EQ(lines[0].text, newDayLine(DAY - 1, DAY, 3));

    loginAs("alice", DAY);  // the same day again
    pushAndWait(5);
    loginAs("alice", DAY + 1);  // the record's own day moves on
    lines = logsWith(listener, LOG_NEW_TRADING_DAY);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, newDayLine(DAY, DAY + 1, 5));

    overwrite(flowPath("bob"), flowBytes(0, DAY - 1));
    loginAs("bob", DAY);  // resumed from 0: nothing is skipped
    EXPECT_EQ(listener.countLogs(LOG_NEW_TRADING_DAY), 2u);
}

// Descriptors now open in this process, other than the one listing them.
std::size_t openDescriptors() {
    std::size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n - 1;
}

// What a host with thousands of traders budgets for: a logged-in trader
// holds its socket and its event loop's epoll and eventfd, and nothing else
// (the flow file stays mapped and locked without a descriptor); all of them
// go with the trader.
TEST(FlowRecordDescriptors, ALoggedInTraderHoldsThreeDescriptorsAndReleasesThemAll) {
    TempDir dir;
    TestListener listener;
    const std::size_t before = openDescriptors();
    {
        ScriptedServer server;
        const std::size_t serverOnly = openDescriptors();
        TraderHandle trader;
        auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), "0"});
        ASSERT_TRUE(trader->init(config.get()));
        trader->registerListener(&listener);
        trader->connect();
        ASSERT_TRUE(listener.waitForEvent(0, 0));
        loginAnswered(trader.get(), server, listener, "alice", loginAnswer(0, "", DAY, 1));
        EXPECT_EQ(listener.countLogs(LOG_FLOW_UNAVAILABLE), 0u);
        // The server's end of the connection is one more.
        EXPECT_EQ(openDescriptors(), serverOnly + 1 + 3);
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace hvr::test
