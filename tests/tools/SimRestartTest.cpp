// A simulator restart in the middle of a session: the adapter reconnects by
// itself, the listener logs in again, and the push stream goes on from where
// it stopped, with no push lost and none repeated.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"
#include "harness/TraderHarness.h"

namespace hvr::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

kra::SimpleContractCatalog defaultCatalog() {
    kra::SimpleContractCatalog catalog;
    catalog.addInstrument("IF2412", 300, "CNY", "CFFEX");
    return catalog;
}

TEST(SimRestart, SessionResumesWithoutLosingOrRepeatingPushes) {
    TempDir dir;
    const std::string db = dir.path() + "sim.db";
    auto sim = std::make_unique<SimProcess>(SIM_BINARY, std::vector<std::string>{"--port", "0", "--db", db, "--fresh-day"},
                                            dir.path() + "sim.log");
    const uint16_t port = sim->port();

    TraderHarness h(MODULE_PATH, defaultCatalog());
    h.init(port, dir.path() + "flow/", 0);
    ASSERT_TRUE(h.connectAndLogin("demo", "demo", seconds(5)));

    // Before the restart: two fills and one order left resting.
    h.insert("IF2412", 1, 3500, '0', '0');
    h.insert("IF2412", 1, 3500, '0', '0');
    h.insert("IF2412", 1, 3400, '0', '0');
    ASSERT_TRUE(h.core().waitUntil(
        [](const tools::SessionState& s) {
            return !s.answersAwaited() && s.counts().tradePushes == 2 && s.book().orderCount() == 3;
        },
        seconds(5)));
    const std::string resting = h.core().read([](const tools::SessionState& s) { return s.lastOrderId(); });
    ASSERT_TRUE(h.core().waitUntil([&](const tools::SessionState& s) { return s.hasSeenState(resting, '3'); }, seconds(5)));
    const uint64_t pushesBefore = h.core().read([](const tools::SessionState& s) { return s.counts().pushes(); });

    // The server goes away; the adapter reports the end of the connection.
    ASSERT_EQ(sim->stop(), 0);
    ASSERT_TRUE(h.core().waitUntil(
        [](const tools::SessionState& s) { return s.counts().connectionsEnded >= 1 && !s.loggedIn(); }, seconds(5)));
    const uint64_t loginsBefore = h.core().read([](const tools::SessionState& s) { return s.counts().loginResults; });

    // Same port, same database: the trading day goes on.
    sim = std::make_unique<SimProcess>(SIM_BINARY, std::vector<std::string>{"--port", std::to_string(port), "--db", db},
                                       dir.path() + "sim.log");
    ASSERT_TRUE(h.core().waitUntil(
        [&](const tools::SessionState& s) { return s.loggedIn() && s.counts().loginResults > loginsBefore; },
        seconds(15)))
        << "no login after the restart";
    EXPECT_EQ(h.core().read([](const tools::SessionState& s) { return s.counts().pushes(); }), pushesBefore)
        << "pushes were replayed on the new connection";

    // After the restart: the resting order is cancelled and one more fills.
    h.cancel(resting);
    h.insert("IF2412", 1, 3500, '0', '0');
    ASSERT_TRUE(h.core().waitUntil(
        [&](const tools::SessionState& s) {
            return !s.answersAwaited() && s.counts().tradePushes == 3 && s.latestState(resting) == '5';
        },
        seconds(5)));

    // Every fill the server knows was pushed exactly once.
    const std::optional<QueryAnswer> trades = h.query(tools::QueryKind::Trades, seconds(5));
    ASSERT_TRUE(trades);
    std::set<std::string> queried;
    for (const tools::TradeRecord& t : trades->trades) queried.insert(t.tradeId);
    std::vector<std::string> pushed;
    {
        std::lock_guard<std::mutex> guard(h.recorder().recordLock);
        pushed = h.recorder().pushedTradeIds;
    }
    std::sort(pushed.begin(), pushed.end());
    EXPECT_EQ(std::set<std::string>(pushed.begin(), pushed.end()), queried);
    EXPECT_EQ(pushed.size(), 3u);
    EXPECT_EQ(h.core().read([](const tools::SessionState& s) { return s.counts().duplicatePushes; }), 0u);
    EXPECT_EQ(h.core().read([](const tools::SessionState& s) { return s.book().orderCount(); }), 4u);
}

// The same through hvr-host: its session logs in again by itself and the
// script carries on after the restart.
TEST(SimRestart, HostLogsInAgainByItselfAndTradesOn) {
    TempDir dir;
    const std::string db = dir.path() + "sim.db";
    auto sim = std::make_unique<SimProcess>(SIM_BINARY, std::vector<std::string>{"--port", "0", "--db", db, "--fresh-day"},
                                            dir.path() + "sim.log");
    const uint16_t port = sim->port();
    writeFile(dir.path() + "restart.script",
              "connect\n"
              "buy IF2412 1 3500\n"
              "wait\n"
              "await trades 1\n"
              "await logins 2 20000\n"
              "buy IF2412 1 3500\n"
              "wait\n"
              "await trades 2\n"
              "expect duplicates 0\n"
              "expect trade-pushes 2\n");
    RunningProcess host({HOST_BINARY, "--module", MODULE_PATH, "--port", std::to_string(port), "--folder",
                         dir.path() + "flow/", "--user", "demo", "--password", "demo", "--script",
                         dir.path() + "restart.script"},
                        "");
    ASSERT_TRUE(host.waitForOutput("> await logins 2", seconds(10))) << host.output();

    ASSERT_EQ(sim->stop(), 0);
    ASSERT_TRUE(host.waitForOutput("[event] connection", seconds(5))) << host.output();
    sim = std::make_unique<SimProcess>(SIM_BINARY, std::vector<std::string>{"--port", std::to_string(port), "--db", db},
                                       dir.path() + "sim.log");

    const ProcessResult run = host.finish(seconds(30));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    std::size_t loginLines = 0;
    for (std::size_t at = 0; (at = run.output.find("[event] logged in as demo", at)) != std::string::npos; ++at)
        ++loginLines;
    EXPECT_EQ(loginLines, 2u) << run.output;
    EXPECT_NE(run.output.find("[push] trade 2 of order 2"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("DUPLICATE"), std::string::npos) << run.output;
}

// A trading day rolled over to the next date (--fresh-day --trading-date):
// a client whose flow file ends the old day at push 3 logs in with push mode
// 0 and still receives every push of the new day, those caused by another
// client of the same account before it logged in included.
TEST(SimRestart, ANewTradingDayReachesAClientResumingFromTheOldDaysLastPush) {
    TempDir dir;
    const std::string db = dir.path() + "sim.db";
    const std::string log = dir.path() + "sim.log";
    auto dayOn = [&](const char* date) {
        return std::make_unique<SimProcess>(
            SIM_BINARY, std::vector<std::string>{"--port", "0", "--db", db, "--fresh-day", "--trading-date", date}, log);
    };
    auto fillOneOrder = [](TraderHarness& h) {
        h.insert("IF2412", 1, 3500, '0', '0');
        return h.core().waitUntil(
            [](const tools::SessionState& s) { return s.counts().tradePushes == 1 && s.counts().pushes() == 3; },
            seconds(5));
    };

    auto sim = dayOn("20261207");
    {
        TraderHarness first(MODULE_PATH, defaultCatalog());
        first.init(sim->port(), dir.path() + "first/", 0);
        ASSERT_TRUE(first.connectAndLogin("demo", "demo", seconds(5)));
        ASSERT_TRUE(fillOneOrder(first));
    }
    ASSERT_EQ(sim->stop(), 0);

    sim = dayOn("20261208");
    {
        TraderHarness other(MODULE_PATH, defaultCatalog());
        other.init(sim->port(), dir.path() + "other/", 0);
        ASSERT_TRUE(other.connectAndLogin("demo", "demo", seconds(5)));
        ASSERT_TRUE(fillOneOrder(other));
    }
    TraderHarness resumed(MODULE_PATH, defaultCatalog());
    resumed.init(sim->port(), dir.path() + "first/", 0);
    ASSERT_TRUE(resumed.connectAndLogin("demo", "demo", seconds(5)));
    EXPECT_TRUE(resumed.core().waitUntil(
        [](const tools::SessionState& s) { return s.counts().tradePushes == 1 && s.counts().pushes() == 3; },
        seconds(5)))
        << "the new day's order and fill did not reach the client";
    EXPECT_EQ(resumed.core().read([](const tools::SessionState& s) { return s.book().tradingDate(); }), 20261208u);
}

}  // namespace
}  // namespace hvr::e2e
