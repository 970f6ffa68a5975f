// The soak's invariant checks on small made-up runs: each fault the soak is
// meant to find must produce its violation, and each schedule the protocol
// allows must not.
#include <gtest/gtest.h>

#include <algorithm>

#include "Invariants.h"

namespace hvr::soak {
namespace {

constexpr Nanos MS = 1'000'000;

PushKey orderKey(uint32_t id, uint32_t state) {
    return {PUSH_ORDER, id, state, state == 0 ? 1u : 0u, state == 0 ? 0u : 1u};
}
PushKey tradeKey(uint32_t id) {
    return {PUSH_TRADE, id, 0, 0, 0};
}

// A run of one trader object (#1): the simulator stored order 1 queuing (push
// 1), its fill (push 2) and order 1 all traded (push 3). Each step of the
// made-up journal is 10 ms after the one before.
struct MadeUpRun {
    JournalData j;
    StoredDay day;
    std::map<uint32_t, int64_t> resumes;
    std::vector<SimConnection> sim;
    RoundWindow w;
    Seq seq = 0;
    Nanos clock = 1000 * MS;

    MadeUpRun() {
        day.accountId = 1;
        day.pushes = {{1, orderKey(1, 3)}, {2, tradeKey(1)}, {3, orderKey(1, 0)}};
        day.orders = {{1, "soak-a"}};
        w.start = 1;
        w.finalObject = 1;
        w.tagPrefix = "soak-";
    }
    Seq next() {
        clock += 10 * MS;
        return ++seq;
    }
    // A connection of object 1 reported connected now; the simulator knows
    // it as connection number `index` (its accept comes with the report).
    std::size_t connect(uint16_t port, const std::string& fault = "none") {
        j.startLines.push_back({next(), 1, clock});
        j.events.push_back({next(), 1, 0, 0, false, port, clock});
        j.connectedLines.push_back({next(), 1, clock});
        SimConnection c;
        c.id = "9." + std::to_string(sim.size() + 1);
        c.peerPort = port;
        c.fault = fault;
        c.accepted = clock;
        sim.push_back(c);
        return sim.size() - 1;
    }
    void end(int code) { j.events.push_back({next(), 1, 1, code, false, 0, clock}); }
    void lifecycle(LifecycleCall::What what) {
        LifecycleCall c;
        c.what = what;
        c.object = 1;
        c.started = next();
        c.startedAt = clock;
        if (what == LifecycleCall::Disconnect) {
            j.events.push_back({next(), 1, 1, 0, true, 0, clock});
            c.reported = seq;
        }
        c.ended = next();
        j.lifecycle.push_back(c);
    }
    std::size_t request(RequestKind kind, const std::string& key = "") {
        RequestRecord r;
        r.started = next();
        r.startedAt = clock;
        r.ended = next();
        r.endedAt = clock;
        r.object = 1;
        r.kind = kind;
        r.key = key;
        j.requests.push_back(r);
        return j.requests.size() - 1;
    }
    // The simulator reads the request on a connection, now.
    void arrive(std::size_t connection, std::size_t request, bool handled = true) {
        const RequestRecord& r = j.requests[request];
        next();
        sim[connection].requests.push_back({clock, functionCodeOf(r.kind), 0, handled, r.key});
        sim[connection].lastRead = clock;
    }
    // A receive of the simulator empties the connection's socket, now.
    void drain(std::size_t connection) {
        next();
        sim[connection].drainedFrom = clock;
    }
    void sendLine(SendLine::What what, int requests, int sentWhole = 0) {
        j.sendLines.push_back({what, next(), 1, requests, sentWhole});
    }
    void login(uint32_t session, int64_t resume, int object = 1) {
        j.logins.push_back({next(), object, true, session});
        resumes[session] = resume;
    }
    // A push, with the flow file as the module left it after the push
    // before (unreadable: -1).
    void deliver(const PushKey& key, int object = 1, int64_t flowAtStart = -1) {
        const Seq s = next();
        j.pushes.push_back({s, next(), object, key, "soak-a", flowAtStart});
    }
    void deliverAll() {
        for (const StoredPush& p : day.pushes) deliver(p.key);
    }
    // The round ends: the final login resumed from the last push (all of
    // them delivered first, unless a test delivers them itself).
    bool pushesDelivered = false;
    void finish() {
        if (!pushesDelivered && j.pushes.empty()) deliverAll();
        login(900 + static_cast<uint32_t>(seq), static_cast<int64_t>(day.maxPushId()));
        w.end = next();
        w.endAt = clock + 10000 * MS;
        w.flowPushId = static_cast<int64_t>(day.maxPushId());
    }
    CheckResult check() const { return checkRound(j, day, resumes, sim, w); }
};

bool mentions(const CheckResult& r, const std::string& text) {
    return std::any_of(r.violations.begin(), r.violations.end(),
                       [&](const std::string& v) { return v.find(text) != std::string::npos; });
}
std::string first(const CheckResult& r) { return r.violations.empty() ? std::string("none") : r.violations.front(); }

TEST(SoakInvariants, CleanRunHasNoViolation) {
    MadeUpRun run;
    const std::size_t c = run.connect(40001);
    run.login(1, 0);
    run.deliverAll();
    run.arrive(c, run.request(RequestKind::Order, "soak-a"));
    run.j.entrusts.push_back({run.next(), 1, "soak-a", false});
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(r.violations.empty()) << first(r);
    EXPECT_EQ(r.counts.deliveries, 3u);
    EXPECT_EQ(r.counts.requestsArrived, 1u);
}

// --- pushes and the flow record ---

TEST(SoakInvariants, StoredPushNeverDeliveredIsLost) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliver(run.day.pushes[0].key);
    run.deliver(run.day.pushes[2].key);
    run.pushesDelivered = true;
    run.finish();
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
    asked.finish();
    CheckResult r = asked.check();
    EXPECT_TRUE(r.violations.empty()) << first(r);
    EXPECT_EQ(r.counts.replayed, 2u);

    MadeUpRun unasked;
    unasked.login(1, 0);
    unasked.deliverAll();
    unasked.login(2, 3);  // resumes after the last push: nothing may come again
    unasked.deliver(unasked.day.pushes[1].key);
    unasked.finish();
    EXPECT_TRUE(mentions(unasked.check(), "push duplicated: push 2"));
}

TEST(SoakInvariants, NewDaysPushWithTheSameIdsIsNotTheOldDaysPush) {
    // A new trading day numbers orders and trades from 1 again: order 1's
    // pushes of the second day do not stand for those of the first.
    MadeUpRun run;
    const std::vector<StoredPush> firstDay = run.day.pushes;  // appended to below
    for (const StoredPush& p : firstDay) {
        StoredPush next = p;
        next.pushId += 3;
        next.key.day = 1;
        run.day.pushes.push_back(next);
    }
    for (StoredPush& p : run.day.pushes) {
        if (p.key.day == 1) continue;
        PushKey delivered = p.key;
        delivered.day = 1;
        run.deliver(delivered);
    }
    run.deliver(run.day.pushes.back().key);
    run.pushesDelivered = true;
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "push lost: push 1 (order 1 state 3 traded 0 left 1) is stored")) << first(r);
    EXPECT_TRUE(mentions(r, "push duplicated: push 6 (order 1 state 0 traded 1 left 0 of day 2)")) << first(r);
}

TEST(SoakInvariants, FlowFileMustHoldTheLastPushHandled) {
    MadeUpRun run;
    run.finish();      // the final login resumes from 3 ...
    run.deliverAll();  // ... and the stream ends with push 3
    run.w.flowPushId = 2;
    EXPECT_TRUE(mentions(run.check(), "flow file: holds push id 2, expected 3"));
}

TEST(SoakInvariants, EachPushFindsThePushBeforeItInTheFlowFile) {
    MadeUpRun run;
    run.deliver(run.day.pushes[0].key, 1, 0);
    run.deliver(run.day.pushes[1].key, 1, 1);
    run.deliver(run.day.pushes[2].key, 1, 1);  // push 2 was never stored
    run.pushesDelivered = true;
    run.finish();
    CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "lagging flow record: when push order 1 state 0 traded 1 left 0 reached trader #1"))
        << first(r);
    EXPECT_EQ(r.counts.flowStoresChecked, 2u);

    run.j.pushes[2].flowAtStart = 2;
    EXPECT_FALSE(mentions(run.check(), "lagging flow record")) << first(run.check());

    // A release in between closes the record: nothing to compare.
    MadeUpRun released;
    released.deliver(released.day.pushes[0].key, 1, 0);
    released.deliver(released.day.pushes[1].key, 1, 1);
    released.lifecycle(LifecycleCall::Release);
    released.deliver(released.day.pushes[2].key, 1, 0);
    released.pushesDelivered = true;
    released.finish();
    EXPECT_FALSE(mentions(released.check(), "lagging flow record")) << first(released.check());
}

TEST(SoakInvariants, LoginMustResumeFromThePushTheFlowRecordHeldWhileItWasSent) {
    MadeUpRun run;
    const std::size_t c = run.connect(40001);
    run.deliver(run.day.pushes[0].key);  // push 1
    run.deliver(run.day.pushes[1].key);  // push 2
    run.sim[c].requests.push_back({run.clock, 1, 0, true, "first/0"});
    run.sim[c].requests.push_back({run.clock, 1, 0, true, "second/1"});
    run.sim[c].requests.push_back({run.clock, 1, 0, true, "third/2"});
    // A login made before any push, one after push 1 only, one after both.
    RequestRecord before;
    before.kind = RequestKind::Login;
    before.object = 1;
    before.key = "first";
    before.started = 1;
    before.ended = run.j.pushes[0].seq - 1;
    run.j.requests.push_back(before);
    RequestRecord lagging = before;
    lagging.key = "third";  // sent push id 2, made between push 1 and push 2
    lagging.started = run.j.pushes[0].exited + 1;
    lagging.ended = run.j.pushes[0].exited + 1;
    run.j.requests.push_back(lagging);
    RequestRecord behind = before;
    behind.key = "second";  // sent push id 1 after push 2 had been handled
    behind.started = run.j.pushes[1].exited + 1;
    behind.ended = behind.started + 1;
    run.j.requests.push_back(behind);
    run.j.queryAnswers.push_back({run.next(), 1, RequestKind::QueryAccount});  // the network thread went on
    run.deliver(run.day.pushes[2].key);
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "wrong resume id: login third")) << first(r);
    EXPECT_TRUE(mentions(r, "wrong resume id: login second"));
    EXPECT_FALSE(mentions(r, "login first"));
    EXPECT_EQ(r.counts.loginsChecked, 3u);
}

// --- requests ---

TEST(SoakInvariants, MissingOrderOfALiveConnectionTheServerKeptReadingIsLost) {
    MadeUpRun run;
    const std::size_t c = run.connect(40001);
    run.request(RequestKind::Order, "soak-gone");
    for (int i = 0; i < 40; ++i) run.next();  // 400 ms
    run.drain(c);                             // the server emptied its socket after that
    run.finish();
    CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "request lost: trader #1")) << first(r);
    EXPECT_EQ(r.counts.requestsUnexplained, 1u);

    // The same order just before the server's last receive that emptied the
    // socket, and a failure: in doubt.
    MadeUpRun close;
    const std::size_t k = close.connect(40001);
    close.drain(k);
    close.request(RequestKind::Order, "soak-maybe");
    close.end(104);
    close.finish();
    r = close.check();
    EXPECT_TRUE(r.violations.empty()) << first(r);
    EXPECT_EQ(r.counts.requestsInDoubt, 1u);
}

TEST(SoakInvariants, RequestMadeBeforeOneThatArrivedOnItsConnectionCannotBeInDoubt) {
    MadeUpRun run;
    const std::size_t c = run.connect(40001);
    run.request(RequestKind::Order, "soak-hole");
    run.arrive(c, run.request(RequestKind::Order, "soak-after"));
    run.end(104);
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "a request made after it returned arrived on its connection")) << first(r);
}

TEST(SoakInvariants, RequestQueuedWhileDisconnectedMustArriveOnTheNextConnection) {
    MadeUpRun run;
    run.connect(40001);
    run.end(104);  // the server went away
    run.request(RequestKind::Order, "soak-queued");
    for (int i = 0; i < 50; ++i) run.next();
    const std::size_t next = run.connect(40002);
    for (int i = 0; i < 50; ++i) run.next();
    run.drain(next);  // the next connection was read to its end: the order never came
    run.finish();
    EXPECT_TRUE(mentions(run.check(), "request lost")) << first(run.check());
}

TEST(SoakInvariants, OnAFaultyConnectionOnlyTheModulesCountExcusesALoss) {
    auto cut = [](int reported, int whole, bool firstArrives) {
        MadeUpRun run;
        const std::size_t c = run.connect(40001, "trickle:3000");
        const std::size_t a = run.request(RequestKind::Order, "soak-x1");
        run.request(RequestKind::Order, "soak-x2");
        run.request(RequestKind::Order, "soak-x3");
        if (firstArrives) run.arrive(c, a);
        run.sendLine(SendLine::Dropped, reported, whole);
        run.end(104);
        run.finish();
        return run.check();
    };
    EXPECT_TRUE(cut(3, 1, true).violations.empty()) << first(cut(3, 1, true));  // one of three left whole, arrived
    EXPECT_TRUE(cut(3, 1, false).violations.empty());                          // it may not have arrived
    EXPECT_TRUE(cut(2, 0, true).violations.empty());                           // the one sent whole in an earlier batch
    const CheckResult silent = cut(1, 0, true);  // the module counted one fewer
    EXPECT_TRUE(mentions(silent, "request lost")) << first(silent);
    EXPECT_TRUE(mentions(silent, "had the fault trickle:3000"));
    const CheckResult resent = cut(3, 0, true);  // one it said had not left arrived
    EXPECT_TRUE(mentions(resent, "reported lost but arrived")) << first(resent);
    const CheckResult counts = cut(3, 1, true);
    EXPECT_EQ(counts.counts.dropLines, 1u);
    EXPECT_EQ(counts.counts.requestsReported, 2u);
}

// What the server had not acknowledged at our own close may or may not
// arrive: the line covers either, and nothing beyond its count.
TEST(SoakInvariants, UnacknowledgedAtCloseLineCoversRequestsThatMayHaveArrived) {
    auto closed = [](bool arrives, int counted) {
        MadeUpRun run;
        const std::size_t c = run.connect(40001);
        const std::size_t a = run.request(RequestKind::Order, "soak-u1");
        run.request(RequestKind::Order, "soak-u2");
        if (arrives) run.arrive(c, a);
        run.sendLine(SendLine::Unacknowledged, counted, counted);
        run.lifecycle(LifecycleCall::Disconnect);
        for (int i = 0; i < 50; ++i) run.next();
        run.drain(c);  // read to its end well after: what is missing cannot be in doubt
        run.finish();
        return run.check();
    };
    EXPECT_TRUE(closed(true, 2).violations.empty()) << first(closed(true, 2));
    EXPECT_TRUE(closed(false, 2).violations.empty()) << first(closed(false, 2));
    EXPECT_TRUE(mentions(closed(false, 1), "request lost"));
    EXPECT_EQ(closed(true, 2).counts.unacknowledgedLines, 1u);
}

TEST(SoakInvariants, ReleaseLineCoversWhatWasQueuedAndNothingElse) {
    MadeUpRun run;
    run.request(RequestKind::QueryOrders);
    run.request(RequestKind::QueryTrades);
    run.sendLine(SendLine::Released, 2);
    run.lifecycle(LifecycleCall::Release);
    run.finish();
    CheckResult r = run.check();
    EXPECT_TRUE(r.violations.empty()) << first(r);
    EXPECT_EQ(r.counts.releasedLines, 1u);

    run.j.sendLines.back().requests = 1;
    EXPECT_TRUE(mentions(run.check(), "request lost"));
}

TEST(SoakInvariants, RequestReachingTheServerTwiceIsADuplicate) {
    MadeUpRun run;
    const std::size_t c = run.connect(40001);
    const std::size_t order = run.request(RequestKind::Order, "soak-twice");
    run.arrive(c, order);
    run.arrive(c, order);
    const std::size_t query = run.request(RequestKind::QueryAccount);
    run.arrive(c, query);
    run.arrive(c, query);
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "request duplicated: orderInsert soak-twice")) << first(r);
    EXPECT_TRUE(mentions(r, "request duplicated: function code 35"));
}

// --- answers ---

TEST(SoakInvariants, RequestHandledOnAConnectionThatStayedOpenMustBeAnswered) {
    MadeUpRun run;
    const std::size_t c = run.connect(40001);
    run.arrive(c, run.request(RequestKind::Order, "soak-a"));
    run.arrive(c, run.request(RequestKind::QueryTrades));
    run.arrive(c, run.request(RequestKind::QueryTrades));
    run.j.queryAnswers.push_back({run.next(), 1, RequestKind::QueryTrades});
    run.finish();  // the connection stays open for seconds more
    CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "answer dropped: order soak-a")) << first(r);
    EXPECT_TRUE(mentions(r, "2 requests of function code 31"));

    // The answer to a later order came back on the connection: the earlier
    // one's was due, however soon the connection ended.
    MadeUpRun later;
    const std::size_t l = later.connect(40001);
    later.arrive(l, later.request(RequestKind::Order, "soak-a"));
    later.arrive(l, later.request(RequestKind::Order, "soak-b"));
    later.j.entrusts.push_back({later.next(), 1, "soak-b", false});
    later.end(104);
    later.finish();
    r = later.check();
    EXPECT_TRUE(mentions(r, "the answer to a later order came back")) << first(r);

    // Ended right after: nothing was due.
    MadeUpRun cut;
    const std::size_t k = cut.connect(40001);
    cut.arrive(k, cut.request(RequestKind::Order, "soak-a"));
    cut.end(104);
    cut.finish();
    r = cut.check();
    EXPECT_FALSE(mentions(r, "answer dropped")) << first(r);
}

// --- connection events ---

TEST(SoakInvariants, ConnectedEventAfterDisconnectHasReportedIsReported) {
    MadeUpRun run;
    run.connect(40001);
    run.lifecycle(LifecycleCall::Disconnect);
    run.end(125);
    run.connect(40002);  // no connect since
    run.finish();
    EXPECT_TRUE(mentions(run.check(), "connected after disconnect")) << first(run.check());

    MadeUpRun again;
    again.connect(40001);
    again.lifecycle(LifecycleCall::Disconnect);
    again.lifecycle(LifecycleCall::Init);
    again.lifecycle(LifecycleCall::Connect);
    again.connect(40002);
    again.finish();
    EXPECT_FALSE(mentions(again.check(), "connected after disconnect"));
}

TEST(SoakInvariants, EndOfAConnectionNeverReportedOrReportedTwiceIsOutOfOrder) {
    MadeUpRun swallowed;
    swallowed.connect(40001);
    swallowed.end(2);
    swallowed.end(2);  // a second end, or the end of one whose (0, 0) never came
    swallowed.finish();
    EXPECT_TRUE(mentions(swallowed.check(), "connection events out of order")) << first(swallowed.check());

    // The aborted receive of a connection the host replaced may come after
    // the next connection's (0, 0).
    MadeUpRun late;
    late.connect(40001);
    late.lifecycle(LifecycleCall::Connect);
    late.connect(40002);
    late.end(125);
    late.end(2);
    late.finish();
    EXPECT_FALSE(mentions(late.check(), "out of order")) << first(late.check());
}

TEST(SoakInvariants, AttemptRetriedOnItsOwnEndsInExactlyOneResult) {
    // Refused twice, then connected: each start line answered by one (0, code).
    auto refused = [](MadeUpRun& run, bool reported) {
        run.j.startLines.push_back({run.next(), 1, run.clock});
        if (reported) run.j.events.push_back({run.next(), 1, 0, 111, false, 0, run.clock});
    };
    MadeUpRun clean;
    refused(clean, true);
    refused(clean, true);
    clean.connect(40001);
    clean.finish();
    EXPECT_FALSE(mentions(clean.check(), "attempt result")) << first(clean.check());

    MadeUpRun swallowed;
    refused(swallowed, true);
    refused(swallowed, false);  // its (0, 111) never came
    swallowed.connect(40001);
    swallowed.finish();
    EXPECT_TRUE(mentions(swallowed.check(), "attempt result missing")) << first(swallowed.check());

    MadeUpRun twice;
    refused(twice, true);
    refused(twice, true);
    twice.j.events.push_back({twice.next(), 1, 0, 111, false, 0, twice.clock});
    twice.connect(40001);
    twice.finish();
    EXPECT_TRUE(mentions(twice.check(), "extra connection event")) << first(twice.check());

    // A connect of the host's own may abort the attempt, whose result then
    // need not come before the next start line.
    MadeUpRun replaced;
    refused(replaced, true);
    replaced.j.startLines.push_back({replaced.next(), 1, replaced.clock});
    replaced.lifecycle(LifecycleCall::Connect);
    replaced.connect(40001);
    replaced.finish();
    EXPECT_FALSE(mentions(replaced.check(), "attempt result")) << first(replaced.check());
}

TEST(SoakInvariants, ConnectedLineWithoutItsEventIsAMissingEvent) {
    MadeUpRun run;
    run.connect(40001);
    run.j.events.erase(run.j.events.begin());  // the (0, 0) swallowed, its line logged
    run.finish();
    EXPECT_TRUE(mentions(run.check(), "connected event missing: trader #1 logged \"connected\""))
        << first(run.check());
}

TEST(SoakInvariants, RequestsOnAConnectionTheModuleNeverReportedAreAMissingEvent) {
    MadeUpRun run;
    run.connect(40001);
    SimConnection hidden;
    hidden.id = "9.7";
    hidden.peerPort = 40009;
    hidden.accepted = run.clock + 5 * MS;
    hidden.fault = "none";
    run.sim.push_back(hidden);
    run.arrive(1, run.request(RequestKind::QueryAccount));
    run.finish();
    EXPECT_TRUE(mentions(run.check(), "connected event missing")) << first(run.check());
}

TEST(SoakInvariants, CloseOnTheNetworkThreadOutsideReleaseIsReported) {
    MadeUpRun run;
    run.login(1, 0);
    run.deliverAll();
    LifecycleCall release;
    release.what = LifecycleCall::Release;
    release.object = 1;
    release.started = run.next();
    run.j.events.push_back({run.next(), 1, 1, 0, false, 0, run.clock});  // during release: its close step
    release.ended = run.next();
    run.j.lifecycle.push_back(release);
    run.finish();
    EXPECT_FALSE(mentions(run.check(), "close nobody asked for"));
    run.j.events.push_back({run.next(), 1, 1, 0, false, 0, run.clock});
    EXPECT_TRUE(mentions(run.check(), "close nobody asked for"));
}

TEST(SoakInvariants, CloseAfterAFramingLineIsAFramingFailure) {
    MadeUpRun run;
    run.connect(40001);
    run.j.framingLines.push_back(run.next());
    run.end(0);
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "framing failure: trader #1"));
    EXPECT_FALSE(mentions(r, "close nobody asked for"));
}

TEST(SoakInvariants, ListenerThrowsMustEachBeLoggedOnce) {
    MadeUpRun run;
    run.j.throwsOnNetworkThread = {{run.next(), 1, run.clock}, {run.next(), 1, run.clock}};
    run.j.loopErrorLines = {run.next()};
    run.finish();
    EXPECT_TRUE(mentions(run.check(), "2 callbacks threw on the network thread, the module logged 1"));
}

TEST(SoakInvariants, ConnectionThatDeliversNothingAfterAThrowIsDeaf) {
    auto run = [](bool answered) {
        MadeUpRun r;
        r.deliverAll();
        r.connect(40001);
        r.j.throwsOnNetworkThread = {{r.next(), 1, r.clock}};
        r.j.loopErrorLines = {r.next()};
        if (answered) r.j.queryAnswers.push_back({r.next(), 1, RequestKind::QueryAccount});
        r.clock += 5000 * MS;  // open for seconds more
        r.lifecycle(LifecycleCall::Connect);
        r.finish();
        return r.check();
    };
    EXPECT_TRUE(mentions(run(false), "deaf after a throw")) << first(run(false));
    EXPECT_FALSE(mentions(run(true), "deaf after a throw"));
}

TEST(SoakInvariants, TagStoredTwiceOrAnsweredTwiceIsReported) {
    MadeUpRun run;
    run.day.orders.push_back({2, "soak-a"});
    run.login(1, 0);
    run.deliverAll();
    run.j.entrusts.push_back({run.next(), 1, "soak-a", false});
    run.j.entrusts.push_back({run.next(), 1, "soak-a", false});
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(mentions(r, "order stored twice: tag soak-a"));
    EXPECT_TRUE(mentions(r, "entrust answer repeated: tag soak-a"));
    EXPECT_TRUE(mentions(r, "order never pushed: order 2"));
}

TEST(SoakInvariants, RefusedRequestIsNeverLostAndMustNeverArrive) {
    MadeUpRun run;
    const std::size_t c = run.connect(40001);
    run.login(1, 0);
    run.arrive(c, run.request(RequestKind::Order, "soak-a"));
    run.j.entrusts.push_back({run.next(), 1, "soak-a", false});
    run.j.requests[run.request(RequestKind::Order, "soak-r")].refused = true;
    run.j.requests[run.request(RequestKind::QueryTrades)].refused = true;
    run.drain(c);
    MadeUpRun sent = run;
    run.finish();
    const CheckResult r = run.check();
    EXPECT_TRUE(r.violations.empty()) << first(r);
    EXPECT_EQ(r.counts.requestsRefused, 2u);

    // Sent anyway: the order is named by its tag, the query by its count.
    sent.arrive(c, 1);
    sent.arrive(c, 2);
    sent.finish();
    const CheckResult s = sent.check();
    EXPECT_TRUE(mentions(s, "refused request sent: orderInsert soak-r")) << first(s);
    EXPECT_TRUE(mentions(s, "refused request sent: function code 31")) << first(s);
}

TEST(SoakInvariants, EachUsersLoginResumesFromItsOwnAccountsLastPush) {
    for (const int64_t sentResume : {0, 3}) {
        MadeUpRun run;
        const std::size_t c = run.connect(40001);
        run.login(1, 0);
        run.deliverAll();  // the first user's pushes 1 to 3
        // The second user logs in on the same object: nothing of its account
        // was handled yet, so its login must resume from 0, not from 3.
        const std::size_t second = run.request(RequestKind::Login, "res-b");
        run.j.requests[second].user = 1;
        run.arrive(c, second);
        run.sim[c].requests.back().key = "res-b/" + std::to_string(sentResume);
        run.j.logins.push_back({run.next(), 1, true, 2, 1});
        const PushKey itsOrder = orderKey(2, 3);
        run.j.pushes.push_back({run.next(), run.next(), 1, itsOrder, "soak2-b", -1, 1});
        run.finish();

        UserDay a, b;
        a.name = "soak";
        a.day = run.day;
        a.resumes = run.resumes;
        a.flowPushId = run.w.flowPushId;
        a.tagPrefix = "soak-";
        b.user = 1;
        b.name = "soak2";
        b.day.accountId = 2;
        b.day.pushes = {{1, itsOrder}};
        b.resumes = {{2, sentResume}};
        b.flowPushId = 1;
        b.tagPrefix = "soak2-";
        const CheckResult r = checkRound(run.j, {a, b}, run.sim, run.w);
        if (sentResume == 0) {
            EXPECT_TRUE(r.violations.empty()) << first(r);  // nor is its push unknown to the first user
        } else {
            EXPECT_TRUE(mentions(r, "wrong resume id: login res-b")) << first(r);
        }
    }
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
