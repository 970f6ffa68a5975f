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
    ASSERT_TRUE(h.state().waitUntil([](const cli::SessionFacts& f) { return f.pendingInserts.empty(); }, seconds(40)))
        << h.state().read([](const cli::SessionFacts& f) { return f.pendingInserts.size(); }) << " unanswered";
    {
        std::lock_guard<std::mutex> guard(h.listener().recordLock);
        EXPECT_EQ(h.listener().answersByTag.size(), total);
        for (const auto& [tag, count] : h.listener().answersByTag) ASSERT_EQ(count, 1) << "tag " << tag;
    }
    h.state().read([&](const cli::SessionFacts& f) {
        EXPECT_EQ(f.acceptedOrders, 3 * perKind);
        EXPECT_EQ(f.refusedOrders, perKind);
        EXPECT_EQ(f.unmatchedAnswers, 0u);
        return 0;
    });
    // Every fill is pushed, once.
    ASSERT_TRUE(h.state().waitUntil([&](const cli::SessionFacts& f) { return f.tradePushes >= 2 * perKind; }, seconds(20)));

    kra::NXSArray* positions = h.query(QueryKind::Positions, seconds(10));
    ASSERT_NE(positions, nullptr);
    uint32_t longVolume = 0;
    uint32_t shortVolume = 0;
    double positionMargin = 0;
    for (std::size_t i = 0; i < positions->count(); ++i) {
        const kra::NXSPositionItem* p = positions->itemAs<kra::NXSPositionItem>(i);
        ASSERT_EQ(p->code, "TST1");
        (p->direction == '0' ? longVolume : shortVolume) += p->preVolume + p->newVolume;
        positionMargin += p->margin;
    }
    EXPECT_EQ(longVolume, perKind);
    EXPECT_EQ(shortVolume, perKind);

    kra::NXSArray* trades = h.query(QueryKind::Trades, seconds(10));
    ASSERT_NE(trades, nullptr);
    EXPECT_EQ(trades->count(), 2 * perKind);
    double tradedAmount = 0;
    for (std::size_t i = 0; i < trades->count(); ++i) tradedAmount += trades->itemAs<kra::NXSTradeInfo>(i)->amount;
    EXPECT_NEAR(tradedAmount, 2 * perKind * LAST, 1e-6);

    kra::NXSArray* accounts = h.query(QueryKind::Account, seconds(10));
    ASSERT_NE(accounts, nullptr);
    ASSERT_EQ(accounts->count(), 1u);
    const kra::NXSAccountInfo& a = *accounts->itemAs<kra::NXSAccountInfo>(0);
    EXPECT_NEAR(a.margin, positionMargin, 1e-6);
    EXPECT_NEAR(a.margin, 2 * perKind * LAST * MARGIN_RATIO, 1e-6);
    EXPECT_NEAR(a.commission, tradedAmount * COMMISSION_RATIO, 1e-6);
    EXPECT_NEAR(a.frozenMargin, perKind * REST_PRICE * MARGIN_RATIO, 1e-6);
    EXPECT_NEAR(a.balance, a.preBalance + a.closeProfit - a.commission + a.dynProfit, 1e-6);
    EXPECT_NEAR(a.available, a.balance - a.margin - a.frozenMargin - a.frozenCommission, 1e-6);

    EXPECT_EQ(h.state().read([](const cli::SessionFacts& f) { return f.duplicatePushes; }), 0u);
}

}  // namespace
}  // namespace hvr::e2e
