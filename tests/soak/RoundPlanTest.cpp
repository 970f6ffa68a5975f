// The plans a seed makes: the same seed and round give the same plan (a
// failing seed replays), and over many rounds every kind of fault the soak
// promises is drawn, within the bounds the quiesce relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "RoundPlan.h"

namespace hvr::soak {
namespace {

TEST(RoundPlan, SameSeedAndRoundGiveTheSamePlan) {
    for (int round = 1; round <= 20; ++round)
        EXPECT_EQ(describePlan(makePlan(42, round, round == 1)), describePlan(makePlan(42, round, round == 1)));
    int differing = 0;
    for (int round = 1; round <= 20; ++round)
        differing += describePlan(makePlan(42, round, false)) != describePlan(makePlan(43, round, false));
    EXPECT_GT(differing, 15);
}

TEST(RoundPlan, ManyRoundsDrawEveryFaultAndStayInBounds) {
    int outages = 0, crashes = 0, restarts = 0, drops = 0, steadyOutages = 0, throwing = 0, calm = 0;
    std::set<OwnClose> firstCloses, secondCloses;
    for (int round = 1; round <= 300; ++round) {
        const RoundPlan plan = makePlan(7, round, round == 1);
        EXPECT_GE(plan.threads, 3);
        EXPECT_LE(plan.threads, 6);
        EXPECT_GE(plan.chaosSeconds, 2.0);
        EXPECT_LE(plan.chaosSeconds, 5.0);
        EXPECT_TRUE(std::is_sorted(plan.steps.begin(), plan.steps.end(),
                                   [](const FaultStep& a, const FaultStep& b) { return a.at < b.at; }));
        bool outage = false;
        for (const FaultStep& s : plan.steps) {
            EXPECT_LE(s.at, plan.chaosSeconds);
            if (s.what == FaultStep::Outage) {
                outage = true;
                ++outages;
                EXPECT_GE(s.down, 1.0);
                EXPECT_TRUE(s.flags.empty());  // back clean: what was queued must arrive
            }
            crashes += s.what == FaultStep::Crash;
            restarts += s.what == FaultStep::Restart;
            drops += dropsConnections(s.flags);
        }
        drops += dropsConnections(plan.startFlags);
        steadyOutages += outage && plan.steadyHost();
        throwing += std::any_of(plan.throwRates.begin(), plan.throwRates.end(),
                                [](double r) { return r > BASE_THROW_RATE; });
        // Every callback throws now and then, in every round.
        for (double r : plan.throwRates) EXPECT_GE(r, BASE_THROW_RATE);
        firstCloses.insert(plan.firstClose);
        secondCloses.insert(plan.secondClose);
        calm += plan.steps.empty() && plan.startFlags.empty();
        EXPECT_GT(plan.weights[static_cast<int>(Op::Order)], 0);
    }
    EXPECT_GT(outages, 20);
    EXPECT_GT(crashes, 20);
    EXPECT_GT(restarts, 10);
    EXPECT_GT(drops, 10);
    EXPECT_GT(steadyOutages, 10);
    EXPECT_GT(throwing, 100);
    EXPECT_EQ(firstCloses.size(), 3u);
    // The second drill's close leaves its queue to the next drill: never a release.
    EXPECT_EQ(secondCloses, (std::set<OwnClose>{OwnClose::Connect, OwnClose::Disconnect}));
    EXPECT_GT(calm, 10);
    EXPECT_TRUE(makePlan(7, 1, true).newObject);
}

}  // namespace
}  // namespace hvr::soak
