// Four host threads insert 1,000 orders each through one trader. Every order
// is answered exactly once, and funds, positions and trades agree with the
// fills at the end.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"
#include "harness/TraderHarness.h"

namespace hvr::e2e {
namespace {

using std::chrono::seconds;

constexpr int THREADS = 4;
constexpr int ORDERS_PER_THREAD = 1000;
constexpr double LAST = 100;
constexpr double REST_PRICE = 90;
constexpr double MARGIN_RATIO = 0.1;
constexpr double COMMISSION_RATIO = 0.0001;

// A cheap instrument and a rich account, so money never limits the test.
const char CONFIG[] =
    "[account.demo]\npassword = demo\nbalance = 1000000000\n"
    "[instrument.TST1]\nexchange = SIM\nmultiplier = 1\ntick = 1\nlast = 100\nband = 0.5\n"
    "margin_ratio = 0.1\ncommission_ratio = 0.0001\n";

// Order i of a thread: buy fill, sell fill, resting buy, refused (unknown code).
void insertOrders(TraderHarness& h) {
    for (int i = 0; i < ORDERS_PER_THREAD; ++i) {
        switch (i % 4) {
            case 0: h.insert("TST1", 1, LAST, '0', '0'); break;
            case 1: h.insert("TST1", 1, LAST, '1', '0'); break;
            case 2: h.insert("TST1", 1, REST_PRICE, '0', '0'); break;
            default: h.insert("NOPE", 1, LAST, '0', '0'); break;
        }
    }
}

TEST(ConcurrentOrders, FourThreadsOfAThousandOrdersAreEachAnsweredOnceAndBooksAgree) {
    TempDir dir;
    writeFile(dir.path() + "trading.ini", CONFIG);
    SimProcess sim(SIM_BINARY, {"--port", "0", "--db", dir.path() + "sim.db", "--fresh-day", "--config",
                                dir.path() + "trading.ini"},
                   dir.path() + "sim.log");
    kra::SimpleContractCatalog catalog;
    catalog.addInstrument("TST1", 1, "CNY", "SIM");
    TraderHarness h(MODULE_PATH, std::move(catalog));
    h.init(sim.port(), dir.path() + "flow/", 1);
    ASSERT_TRUE(h.connectAndLogin("demo", "demo", seconds(5)));

    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) threads.emplace_back([&h] { insertOrders(h); });
    for (std::thread& t : threads) t.join();

    constexpr uint64_t total = THREADS * ORDERS_PER_THREAD;
    constexpr uint64_t perKind = total / 4;
    ASSERT_TRUE(h.core().waitUntil([](const tools::SessionState& s) { return s.insertsAwaited() == 0; }, seconds(40)))
        << h.core().read([](const tools::SessionState& s) { return s.insertsAwaited(); }) << " unanswered";
    {
        std::lock_guard<std::mutex> guard(h.recorder().recordLock);
        EXPECT_EQ(h.recorder().answersByTag.size(), total);
        for (const auto& [tag, count] : h.recorder().answersByTag) ASSERT_EQ(count, 1) << "tag " << tag;
    }
    h.core().read([&](const tools::SessionState& s) {
        EXPECT_EQ(s.counts().acceptedOrders, 3 * perKind);
        EXPECT_EQ(s.counts().refusedOrders, perKind);
        EXPECT_EQ(s.counts().unmatchedAnswers, 0u);
        return 0;
    });
    // Every fill is pushed, once.
    ASSERT_TRUE(h.core().waitUntil([&](const tools::SessionState& s) { return s.counts().tradePushes >= 2 * perKind; },
                                   seconds(20)));

    const std::optional<QueryAnswer> positions = h.query(tools::QueryKind::Positions, seconds(10));
    ASSERT_TRUE(positions);
    uint32_t longVolume = 0;
    uint32_t shortVolume = 0;
    double positionMargin = 0;
    for (const tools::PositionRecord& p : positions->positions) {
        ASSERT_EQ(p.code, "TST1");
        (p.direction == '0' ? longVolume : shortVolume) += p.preVolume + p.newVolume;
        positionMargin += p.margin;
    }
    EXPECT_EQ(longVolume, perKind);
    EXPECT_EQ(shortVolume, perKind);

    const std::optional<QueryAnswer> trades = h.query(tools::QueryKind::Trades, seconds(10));
    ASSERT_TRUE(trades);
    EXPECT_EQ(trades->trades.size(), 2 * perKind);
    double tradedAmount = 0;
    for (const tools::TradeRecord& t : trades->trades) tradedAmount += t.amount;
    EXPECT_NEAR(tradedAmount, 2 * perKind * LAST, 1e-6);

    const std::optional<QueryAnswer> accounts = h.query(tools::QueryKind::Account, seconds(10));
    ASSERT_TRUE(accounts);
    ASSERT_EQ(accounts->accounts.size(), 1u);
    const tools::AccountRecord& a = accounts->accounts[0];
    EXPECT_NEAR(a.margin, positionMargin, 1e-6);
    EXPECT_NEAR(a.margin, 2 * perKind * LAST * MARGIN_RATIO, 1e-6);
    EXPECT_NEAR(a.commission, tradedAmount * COMMISSION_RATIO, 1e-6);
    EXPECT_NEAR(a.frozenMargin, perKind * REST_PRICE * MARGIN_RATIO, 1e-6);
    EXPECT_NEAR(a.balance, a.preBalance + a.closeProfit - a.commission + a.dynProfit, 1e-6);
    EXPECT_NEAR(a.available, a.balance - a.margin - a.frozenMargin - a.frozenCommission, 1e-6);

    EXPECT_EQ(h.core().read([](const tools::SessionState& s) { return s.counts().duplicatePushes; }), 0u);
}

}  // namespace
}  // namespace hvr::e2e
