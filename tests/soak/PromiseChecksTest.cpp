// The checks of PromiseChecks.h on made-up journals: each fault it is meant
// to find is reported, and what the module and the simulator may do is not.
#include <gtest/gtest.h>

#include "PromiseChecks.h"

namespace hvr::soak {
namespace {

struct Reports {
    std::vector<std::string> kinds;
    Report report() {
        return [this](const std::string& kind, const std::string&) { kinds.push_back(kind); };
    }
};

TEST(PromiseChecks, AnEntrustIdRepeatsAcrossObjectsOnlyOnceASessionMadeIt) {
    JournalData j;
    j.entrustIds = {{1, 1, "0.0.000001"}, {2, 2, "0.0.000001"}, {3, 1, "20261208.7.000001"}};
    Reports clean;
    EXPECT_EQ(checkEntrustIds(j, clean.report()), 3u);
    EXPECT_TRUE(clean.kinds.empty());  // before a login each object counts from 1 on its own

    j.entrustIds.push_back({4, 2, "20261208.7.000001"});  // another object, the same session's id
    j.entrustIds.push_back({5, 1, "0.0.000001"});         // one object before its login, twice
    Reports twice;
    checkEntrustIds(j, twice.report());
    EXPECT_EQ(twice.kinds, (std::vector<std::string>{"entrust id repeated", "entrust id repeated"}));
}

TEST(PromiseChecks, ASilenceCutMustBeFollowedByAnAttemptUnlessTheHostTookOver) {
    JournalData j;
    j.events.push_back({10, 1, 1, 110, false, 0, 0});
    Reports none;
    EXPECT_EQ(checkSilenceCuts(j, 1, 100, none.report()), 0u);
    EXPECT_EQ(none.kinds, std::vector<std::string>{"no reconnect after a silence cut"});

    JournalData released = j;  // the host released the object before the retry was due
    LifecycleCall release;
    release.what = LifecycleCall::Release;
    release.object = 1;
    release.started = 12;
    release.ended = 14;
    released.lifecycle.push_back(release);
    Reports excused;
    checkSilenceCuts(released, 1, 100, excused.report());
    EXPECT_TRUE(excused.kinds.empty());

    j.startLines.push_back({11, 2, 0});  // another object's attempt does not count
    Reports elsewhere;
    checkSilenceCuts(j, 1, 100, elsewhere.report());
    EXPECT_EQ(elsewhere.kinds, std::vector<std::string>{"no reconnect after a silence cut"});
    j.startLines.push_back({12, 1, 0});
    Reports followed;
    EXPECT_EQ(checkSilenceCuts(j, 1, 100, followed.report()), 1u);
    EXPECT_TRUE(followed.kinds.empty());
}

TEST(PromiseChecks, AnOrderAnsweredAsAcceptedMustBeStored) {
    JournalData j;
    j.entrusts = {{1, 1, "soak-a", false}, {2, 1, "soak-b", true}, {3, 1, "soak-c", false}, {4, 1, "other", false}};
    StoredDay day;
    day.orders = {{1, "soak-a"}};
    Reports r;
    EXPECT_EQ(checkAcceptedOrdersStored(j, day, "soak-", r.report()), 2u);  // a refusal stores nothing
    EXPECT_EQ(r.kinds, std::vector<std::string>{"accepted order not stored"});
}

TEST(PromiseChecks, ANewDaysPushIdsMustGoOnAboveTheDaysBefore) {
    StoredDay day;
    PushKey first, second;
    second.day = 1;
    day.pushes = {{4, first}, {5, first}, {6, second}};
    Reports on;
    EXPECT_EQ(checkPushIdsGoOn(day, "soak", on.report()), 1u);
    EXPECT_TRUE(on.kinds.empty());
    day.pushes.back().pushId = 1;
    Reports back;
    checkPushIdsGoOn(day, "soak", back.report());
    EXPECT_EQ(back.kinds, std::vector<std::string>{"push ids went back"});
}

}  // namespace
}  // namespace hvr::soak
