// The soak's invariant checks on small made-up runs: each fault the soak is
// meant to find must produce its violation, and each schedule the protocol
// allows must not.
#include <gtest/gtest.h>

#include <algorithm>

#include "Invariants.h"

namespace hvr::soak {
namespace {

PushKey orderKey(uint32_t id, uint32_t state) {
    return {PUSH_ORDER, id, state, state == 0 ? 1u : 0u, state == 0 ? 0u : 1u};
}
PushKey tradeKey(uint32_t id) {
    return {PUSH_TRADE, id, 0, 0, 0};
}

// A run of one trader object (#1): the simulator stored order 1 queuing (push
// 1), its fill (push 2) and order 1 all traded (push 3).
struct MadeUpRun {
    JournalData j;
    StoredDay day;
    std::map<uint32_t, int64_t> resumes;
    RoundWindow w;
    Seq seq = 0;

    MadeUpRun() {
        day.accountId = 1;
        day.pushes = {{1, orderKey(1, 3)}, {2, tradeKey(1)}, {3, orderKey(1, 0)}};
        day.orders = {{1, "soak-a"}};
        w.chaosStart = 1;
        w.finalObject = 1;
        w.tagPrefix = "soak-";
    }
    Seq next() { return ++seq; }
    void login(uint32_t session, int64_t resume, int object = 1) {
        j.logins.push_back({next(), object, true, session});
        resumes[session] = resume;
    }
    void deliver(const PushKey& key, int object = 1) { j.pushes.push_back({next(), object, key, "soak-a"}); }
    void deliverAll() {
        for (const StoredPush& p : day.pushes) deliver(p.key);
    }
    // The chaos window ends and the quiesce logs in: the cutoff.
    void endChaos() {
        w.chaosEnd = next();
        login(900 + static_cast<uint32_t>(seq), static_cast<int64_t>(day.maxPushId()));
        w.cutoff = seq;
        w.flowPushId = static_cast<int64_t>(day.maxPushId());
    }
    CheckResult check() const { return checkRound(j, day, resumes, w); }
};

bool mentions(const CheckResult& r, const std::string& text) {
    return std::any_of(r.violations.begin(), r.violations.end(),
                       [&](const std::string& v) { return v.find(text) != std::string::npos; });
}

TEST(SoakInvariants, CleanRunHasNoViolation) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    run.endChaos();
    const CheckResult r = run.check();
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_EQ(r.counts.deliveries, 3u);
}

TEST(SoakInvariants, StoredPushNeverDeliveredIsLost) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliver(run.day.pushes[0].key);
    run.deliver(run.day.pushes[2].key);
    run.endChaos();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "push lost: push 2 (trade 1)"));
    EXPECT_EQ(r.counts.lost, 1u);
}

TEST(SoakInvariants, RepeatIsReplayOnlyWhenALoginInBetweenResumedBelowIt) {
    MadeUpRun asked;
    asked.login(1, 0);
    asked.deliverAll();
    asked.login(2, 1);  // resumes from push 1: pushes 2 and 3 come again
    asked.deliver(asked.day.pushes[1].key);
    asked.deliver(asked.day.pushes[2].key);
    asked.endChaos();
    CheckResult r = asked.check();
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_EQ(r.counts.replayed, 2u);

    MadeUpRun unasked;
    unasked.login(1, 0);
    unasked.deliverAll();
    unasked.login(2, 3);  // resumes after the last push: nothing may come again
    unasked.deliver(unasked.day.pushes[1].key);
    unasked.endChaos();
    r = unasked.check();
    EXPECT_TRUE(mentions(r, "push duplicated: push 2"));

    MadeUpRun otherObject;  // a login of another object replays nothing to this one
    otherObject.login(1, 0);
    otherObject.deliverAll();
    otherObject.login(2, 0, 2);
    otherObject.deliver(otherObject.day.pushes[0].key);
    otherObject.endChaos();
    EXPECT_TRUE(mentions(otherObject.check(), "push duplicated"));
}

TEST(SoakInvariants, FlowFileMustHoldTheLastPushHandled) {
    MadeUpRun run;
    run.endChaos();    // the final login resumes from 3 ...
    run.deliverAll();  // ... and the stream ends with push 3
    run.w.flowPushId = 2;
    EXPECT_TRUE(mentions(run.check(), "flow file: holds push id 2, expected 3"));
}

TEST(SoakInvariants, OrderPlacedDuringAnOutageMustArriveDespiteASendErrorLine) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    const Seq killed = run.next();
    run.j.faults.push_back({killed, "kill -9"});
    run.j.requests.push_back({run.next(), RequestKind::Order, "soak-during"});
    run.j.sendErrorLines.push_back(run.next());
    run.j.outages.push_back({killed, run.next()});
    run.endChaos();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "request lost: order soak-during")) << (r.violations.empty() ? "" : r.violations.front());
    EXPECT_EQ(r.counts.ordersLost, 1u);
}

TEST(SoakInvariants, UnansweredOrderIsInDoubtAfterAKillAndRefusedAfterASendError) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    run.j.requests.push_back({run.next(), RequestKind::Order, "soak-before-kill"});
    run.j.faults.push_back({run.next(), "kill -9"});
    run.j.outages.push_back({run.seq, run.next()});
    run.j.requests.push_back({run.next(), RequestKind::Order, "soak-before-error"});
    run.j.sendErrorLines.push_back(run.next());
    run.j.requests.push_back({run.next(), RequestKind::Order, "soak-a"});  // stored: arrived
    run.endChaos();
    const CheckResult r = run.check();
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_EQ(r.counts.ordersInDoubt, 1u);
    EXPECT_EQ(r.counts.ordersRefused, 1u);
    EXPECT_EQ(r.counts.ordersArrived, 1u);
}

TEST(SoakInvariants, QueriesNeedAsManyAnswersAsQueriesThatMustArrive) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    run.j.requests.push_back({run.next(), RequestKind::QueryOrders, ""});
    run.j.requests.push_back({run.next(), RequestKind::QueryOrders, ""});
    run.j.queryAnswers.push_back({run.next(), RequestKind::QueryOrders});
    run.endChaos();
    EXPECT_TRUE(mentions(run.check(), "request lost: queryOrders: 2 queries"));

    run.j.queryAnswers.push_back({run.w.cutoff - 1, RequestKind::QueryOrders});
    run.j.queryAnswers.push_back({run.w.cutoff - 1, RequestKind::QueryOrders});
    EXPECT_TRUE(mentions(run.check(), "query answered twice"));
}

TEST(SoakInvariants, ConnectedEventAfterACompletedDisconnectIsReported) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    LifecycleCall d;
    d.what = LifecycleCall::Disconnect;
    d.object = 1;
    d.started = run.next();
    d.reported = run.next();
    d.ended = run.next();
    run.j.lifecycle.push_back(d);
    const Seq event = run.next();
    run.j.events.push_back({event, 1, 0, 0, false, false, run.next()});
    run.endChaos();
    EXPECT_TRUE(mentions(run.check(), "connected after disconnect"));

    // The same with a second disconnect still under way: a race, not a fault.
    LifecycleCall racing = d;
    racing.started = event - 1;
    racing.reported = event + 1;
    racing.ended = event + 1;
    run.j.lifecycle.push_back(racing);
    EXPECT_FALSE(mentions(run.check(), "connected after disconnect"));
}

TEST(SoakInvariants, CloseOnTheNetworkThreadOutsideReleaseIsReported) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    LifecycleCall release;
    release.what = LifecycleCall::Release;
    release.object = 1;
    release.started = run.next();
    run.j.events.push_back({run.next(), 1, 1, 0, false, true, 0});  // during release: its close step
    release.ended = run.next();
    run.j.lifecycle.push_back(release);
    run.endChaos();
    EXPECT_FALSE(mentions(run.check(), "close nobody asked for"));
    run.j.events.push_back({run.next(), 1, 1, 0, false, true, 0});
    EXPECT_TRUE(mentions(run.check(), "close nobody asked for"));
}

TEST(SoakInvariants, CloseAfterAFramingLineIsAFramingFailure) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    run.j.framingLines.push_back(run.next());
    run.j.events.push_back({run.next(), 1, 1, 0, false, true, 0});
    run.endChaos();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "framing failure: trader #1"));
    EXPECT_FALSE(mentions(r, "close nobody asked for"));
}

TEST(SoakInvariants, ListenerThrowsMustEachBeLoggedOnce) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    run.j.throwsOnNetworkThread = {run.next(), run.next()};
    run.j.loopErrorLines = {run.next()};
    run.endChaos();
    EXPECT_TRUE(mentions(run.check(), "2 callbacks threw on the network thread, the module logged 1"));
}

TEST(SoakInvariants, TagStoredTwiceOrAnsweredTwiceIsReported) {
    MadeUpRun run;
    run.day.orders.push_back({2, "soak-a"});
    run.login(1, 0);
    run.deliverAll();
    run.j.entrusts.push_back({run.next(), "soak-a", false});
    run.j.entrusts.push_back({run.next(), "soak-a", false});
    run.endChaos();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "order stored twice: tag soak-a"));
    EXPECT_TRUE(mentions(r, "entrust answer repeated: tag soak-a"));
    EXPECT_TRUE(mentions(r, "order never pushed: order 2"));
}

TEST(SoakInvariants, LoginResumesAreReadFromTheSimulatorLog) {
    const std::string log =
        "00:01:02.003 hvr-sim 127.0.0.1:5000 connected\n"
        "00:01:02.004 hvr-sim 127.0.0.1:5000 login ok soak session 7, resume from push 12, 3 replayed\n"
        "00:01:02.005 hvr-sim 127.0.0.1:5001 login ok soak session 8, resume from push -1, 0 replayed\n"
        "00:01:02.006 hvr-sim 127.0.0.1:5002 login ok other session 9, resume from push 0, 5 replayed\n"
        "00:01:02.007 hvr-sim 127.0.0.1:5003 login ok soak session 1";  // cut off by a kill
    const std::map<uint32_t, int64_t> resumes = parseLoginResumes(log, "soak");
    EXPECT_EQ(resumes, (std::map<uint32_t, int64_t>{{7, 12}, {8, -1}}));
}

}  // namespace
}  // namespace hvr::soak
