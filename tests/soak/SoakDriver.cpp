#include "SoakDriver.h"

#include <dlfcn.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "Companions.h"
#include "Invariants.h"
#include "PromiseChecks.h"
#include "RoundPlan.h"
#include "SimChild.h"
#include "SimRecords.h"
#include "SocketTable.h"
#include "SoakListener.h"
#include "support/SendSide.h"

namespace hvr::soak {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const char* const USER = "soak";
const char* const PASSWORD = "soak";
// The second user, whom some rounds log in on the same object.
const char* const USER2 = "soak2";
const char* const PASSWORD2 = "soak2";
const char* const INSTRUMENT = "IF2412";

const char* const SIM_CONFIG =
    "[account.soak]\n"
    "password = soak\n"
    "balance = 1000000000000\n"
    "\n"
    "[account.soak2]\n"
    "password = soak2\n"
    "balance = 1000000000000\n"
    "\n"
    // The companions of the rounds in the shared mode (Companions.h).
    "[account.mate1]\npassword = soak\nbalance = 1000000000000\n\n"
    "[account.mate2]\npassword = soak\nbalance = 1000000000000\n\n"
    "[account.mate3]\npassword = soak\nbalance = 1000000000000\n\n"
    "[instrument.IF2412]\n"
    "exchange = CFFEX\n"
    "multiplier = 300\n"
    "tick = 0.2\n"
    "last = 3500\n"
    "band = 0.1\n"
    "margin_ratio = 0.12\n"
    "commission_ratio = 0.000023\n";

constexpr auto CALL_LIMIT = seconds(30);     // one module call on a host thread
constexpr auto LOGIN_LIMIT = seconds(20);    // connect to successful login, under a sanitizer
constexpr auto PROBE_LIMIT = seconds(15);    // an order's answer and pushes
constexpr auto NOTICE_LIMIT = seconds(15);   // a killed server noticed and a login again
constexpr auto REFUSED_LIMIT = seconds(8);   // a killed server kept down until an attempt was refused
constexpr auto BACKLOG_LIMIT = seconds(60);  // what a stopped trader queued in the chaos, answered
constexpr auto DRILL_LIMIT = seconds(15);    // one step of the drills

// The drills' simulator: small receive buffers, and a held fault for each of
// its first four connections. The listener gives the module's socket of each
// drill connection the smallest send buffer, so the kernel takes a few KiB of
// a write at most. Each connection reads nothing until the driver, having put
// a write in flight and done what the drill needs, lets it go: then the first
// two read and discard, the third reads 3000 bytes one at a time and resets,
// the fourth resets. No step depends on the system's buffer sizes or on how
// long a step takes.
const std::vector<std::string> DRILL_FLAGS = {"--small-socket-buffers", "--connection-faults",
                                              "hold,hold,hold-trickle:3000,hold-reset"};
constexpr int FLOOD_ORDERS = 100;   // a batch (some 45 KB) far bigger than the bounded buffers hold
constexpr int FLOOD_TAG = 400;      // characters of a flood order's tag
constexpr int FILL_LIMIT = 40000;   // requests placed at most to fill the buffers
// The partial-send drill's order: far more than the bounded buffers of a
// frozen simulator's connection take, and below the server's limit of a
// packet before a login (64 KiB).
constexpr int PARTIAL_TAG = 48 * 1024;
constexpr int PARTIAL_FOLLOWERS = 5;  // orders queued behind it
// A round with a send-queue cap places at most this many requests into an
// outage to make the module refuse one.
constexpr int CAP_FILL_LIMIT = 2000;

std::string gbkToUtf8(const std::string& text) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out(text.size() * 2 + 8, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!ok) return text;
    out.resize(out.size() - outLeft);
    return out;
}

// --- the module ---

struct Module {
    kra::CreateTraderFunc create = nullptr;
    kra::DeleteTraderFunc destroy = nullptr;
};

// --- totals over the run ---

// How often the drills drove each send-error path of the module.
struct PathCounts {
    std::size_t putBack = 0;              // our own close cut off a write that had sent nothing
    std::size_t droppedByOwnClose = 0;    // our own close cut off a write part way
    std::size_t droppedAfterTrickle = 0;  // the server read one byte at a time, then reset
    std::size_t droppedAfterReset = 0;    // the server reset with the batch unread
    std::size_t partialSends = 0;         // a host thread's send the socket took only in part, resumed
    void add(const PathCounts& o) {
        partialSends += o.partialSends;
        putBack += o.putBack;
        droppedByOwnClose += o.droppedByOwnClose;
        droppedAfterTrickle += o.droppedAfterTrickle;
        droppedAfterReset += o.droppedAfterReset;
    }
};

struct Totals {
    int rounds = 0;
    int capRounds = 0, peerRounds = 0, switchRounds = 0;
    int sharedRounds = 0;  // in the shared mode, with companions
    CheckCounts last;  // pushes: cumulative, from the last check
    CheckCounts sum;   // requests and lines: summed over the rounds
    PathCounts paths;
    void add(const CheckCounts& c) {
        last = c;
        sum.requestsPlaced += c.requestsPlaced;
        sum.requestsArrived += c.requestsArrived;
        sum.requestsReported += c.requestsReported;
        sum.requestsInDoubt += c.requestsInDoubt;
        sum.requestsUnexplained += c.requestsUnexplained;
        sum.ordersPlaced += c.ordersPlaced;
        sum.ordersArrived += c.ordersArrived;
        sum.queriesPlaced += c.queriesPlaced;
        sum.queriesArrived += c.queriesArrived;
        sum.putBackLines += c.putBackLines;
        sum.dropLines += c.dropLines;
        sum.releasedLines += c.releasedLines;
        sum.unacknowledgedLines += c.unacknowledgedLines;
        sum.loginsChecked += c.loginsChecked;
        sum.flowStoresChecked += c.flowStoresChecked;
        sum.throwsChecked += c.throwsChecked;
        sum.answersChecked += c.answersChecked;
        sum.requestsRefused += c.requestsRefused;
        sum.silenceCutsFollowed += c.silenceCutsFollowed;
    }
};

std::string pathsText(const PathCounts& p, const CheckCounts& c) {
    return "put back after our own close " + std::to_string(p.putBack) + ", dropped after our own close cut it part way " +
           std::to_string(p.droppedByOwnClose) + ", after one-byte reads and a reset " +
           std::to_string(p.droppedAfterTrickle) + ", after a reset with nothing read " +
           std::to_string(p.droppedAfterReset) + ", host-thread sends taken in part and resumed " +
           std::to_string(p.partialSends) + "; lines in all: put back " + std::to_string(c.putBackLines) +
           ", dropped " + std::to_string(c.dropLines) + ", release dropped the queue " +
           std::to_string(c.releasedLines) + ", unacknowledged at our close " + std::to_string(c.unacknowledgedLines);
}

std::string requestsText(const CheckCounts& c) {
    return std::to_string(c.requestsPlaced) + " (arrived " + std::to_string(c.requestsArrived) +
           ", reported lost by the module " + std::to_string(c.requestsReported) + ", refused by it " +
           std::to_string(c.requestsRefused) + " (never arrived), in doubt " +
           std::to_string(c.requestsInDoubt) + ", unexplained " + std::to_string(c.requestsUnexplained) +
           "; orders " + std::to_string(c.ordersPlaced) + " of which arrived " + std::to_string(c.ordersArrived) +
           ", queries " + std::to_string(c.queriesPlaced) + " of which arrived " + std::to_string(c.queriesArrived) +
           ")";
}

class Driver {
public:
    Driver(const SoakOptions& options, Module module, std::string dir)
        : options(options),
          module(module),
          dir(std::move(dir)),
          folder(this->dir + "flow/"),
          simLog(this->dir + "sim.log"),
          simJournal(this->dir + "requests.journal"),
          sim(options.simPath, this->dir + "sim.db", this->dir + "sim.ini", simLog, simJournal),
          listener(journal, {{USER, PASSWORD}, {USER2, PASSWORD2}}, std::to_string(options.seed)) {
        listener.setFlowFiles({folder + USER + ".flow", folder + USER2 + ".flow"});
    }

    int run();

private:
    // Rounds.
    void runRound(int round);
    void chaos(const RoundPlan& plan, int round);
    void hostThread(const RoundPlan& plan, int round, int index);
    void quiesce(const RoundPlan& plan, int round, Seq roundStart, const PathCounts& paths);
    // The send-error paths, on purpose: our own close with a write in flight
    // that has sent nothing, then one cut part way; the server reading one
    // byte at a time, then resetting; the server resetting with nothing read.
    PathCounts drills(const RoundPlan& plan, int round);
    void ownClose(OwnClose how, const std::function<void()>& beforeConnect);
    // The next (0, 0) of the object after seq `after`: its seq and local port.
    std::pair<Seq, uint16_t> waitConnected(Seq after, const std::string& context);
    // The first `count` drop and put-back lines of the object after seq
    // `after` (put-back lines only with putBacks).
    std::vector<SendLine> waitSendLines(Seq after, std::size_t count, bool putBacks, const std::string& context);
    void waitEnded(Seq after, const std::string& context);
    // Places requests until the connection's send queue stops growing: the
    // server reads nothing, so every buffer on the way is full and the
    // module's next batch waits.
    // Places requests until the kernel refuses one while nothing can make
    // room in the connection's send queue (tests/support/SendSide.h): that
    // one waits in the module as a write of which nothing was sent, and stays
    // so until the server reads.
    void fillUntilBlocked(uint16_t localPort, const std::function<void(int)>& place, const std::string& context);
    // Returns once the connection's first write has put bytes in the kernel
    // (its send queue is not empty: the server reads nothing yet).
    void waitFirstWrite(uint16_t localPort, const std::string& context);
    void floodOrder(int round, const std::string& drill, int n);
    // A host thread's send that the socket takes only in part (the simulator
    // frozen, the socket empty, an order bigger than the buffers on the way):
    // the rest must follow from the right byte, and the orders queued behind
    // it after it. Returns once all are answered.
    void partialSendDrill(int round);

    // The promises of some rounds (RoundPlan): requests placed into an
    // outage until the capped send queue refuses one; the simulator frozen
    // until the module cuts the connection for silence, then a reconnect and
    // a login; the second user logged in on the object and the first again.
    void fillToCap(int round);
    void deadPeer(const RoundPlan& plan, const std::string& objectText);
    void switchUsers(int round, const std::string& objectText);

    // The simulator. newDay: as SimChild::start.
    void startSim(const std::vector<std::string>& flags, uint32_t newDay = 0);
    void killSim(const std::string& why);
    // Keeps what the simulator's day holds (its pushes and orders, the
    // length of its log), for the checks of later rounds, before a new day
    // wipes it.
    void keepDay();
    // The trading days of the run: the day (0 for the first) a journal seq
    // falls in; the journal with push keys and login sessions dated that
    // way; every day's pushes and orders; every day's login resumes.
    uint32_t dayOf(Seq seq) const;
    JournalData dated(JournalData j) const;
    // user: 0 USER, 1 USER2.
    StoredDay allDays(int user, StoredDay today) const;
    std::map<uint32_t, int64_t> allResumes(int user) const;

    // The trader.
    void newTrader();
    void initAndConnect();
    void lifecycleCall(LifecycleCall::What what, const char* name, const std::function<void()>& call);
    void guarded(const char* name, const std::function<void()>& call);
    std::unique_ptr<kra::NXSMapNode> config();
    // What orderInsert returned; a refusal counts as a fault of the module
    // unless the send queue is capped.
    int placeOrder(const std::string& tag, bool fill, char direction);
    int query(RequestKind kind);
    Seq waitOrderDone(const std::string& tag, Seq since, std::chrono::seconds limit, const std::string& context);
    Seq waitAnswer(const std::string& tag, Seq since, std::chrono::seconds limit, const std::string& context);
    // Places a filling order and returns the seq stamped just before it.
    Seq placeProbe(const std::string& tag, char direction);
    Seq waitLogin(Seq after, std::chrono::seconds limit, const std::string& context);

    // Failure and the watchdog.
    [[noreturn]] void fail(const std::string& what, const std::vector<std::string>& details = {});
    void setPhase(const std::string& name, std::chrono::seconds limit);
    void watchdog();

    const SoakOptions options;
    const Module module;
    const std::string dir, folder, simLog, simJournal;
    Journal journal;
    SimChild sim;
    SoakListener listener;

    std::atomic<kra::ITraderApi*> trader{nullptr};
    std::atomic<int> object{0};
    std::atomic<uint16_t> port{0};
    std::shared_mutex opsLock;  // shared: every call; exclusive: release and reuse
    std::atomic<bool> stopChaos{false};
    // What config() gives init besides the address and folder: the round's
    // settings of the phase under way (0: the module's default).
    std::atomic<int> peerTimeout{0};
    std::atomic<std::size_t> sendQueueCap{0};

    // Rounds in the shared mode: the trader and its companions on one pool
    // thread; the companions' own simulator (made at the first such round).
    std::atomic<bool> sharedThreads{false};
    std::unique_ptr<SimChild> companionSim;
    std::unique_ptr<Companions> companions;

    // Watchdog state.
    std::mutex watchLock;
    std::string phase;
    Clock::time_point phaseDeadline = Clock::time_point::max();
    std::map<std::thread::id, std::pair<const char*, Clock::time_point>> calls;
    std::atomic<bool> finished{false};
    std::atomic<bool> failing{false};
    std::atomic<int> currentRound{0};

    // Trading days, all on the driver's thread. A day starts at the seq
    // stamped right after the kill that ends the one before, while no object
    // is connected: later deliveries and logins are the new day's.
    uint32_t tradingDate = 0;
    std::vector<Seq> dayStarts;
    std::array<StoredDay, 2> earlierDays;  // per user (USER, USER2)
    std::vector<std::size_t> dayLogEnds;  // where each earlier day's lines end in the simulator log

    Totals totals;
    std::mutex countersLock;
    std::map<std::string, int> faultCounts;
};

// --- the simulator ---

void Driver::startSim(const std::vector<std::string>& flags, uint32_t newDay) {
    std::string why;
    // Same port as before when it can be had again; a kill leaves no
    // listener behind, so a few tries are enough.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (sim.start(port.load(), flags, newDay, why)) break;
        std::this_thread::sleep_for(milliseconds(100));
    }
    if (!sim.running() && !sim.start(0, flags, newDay, why)) fail("cannot start hvr-sim: " + why);
    if (port.load() != 0 && sim.port() != port.load())
        std::printf("  hvr-sim moved to port %u (the trader picks it up at its next init)\n", sim.port());
    port.store(sim.port());
    listener.setServerPort(sim.port());
    listener.setDropsAreFaults(dropsConnections(flags));
    if (!flags.empty()) {
        std::lock_guard<std::mutex> guard(countersLock);
        if (flags != DRILL_FLAGS)
            for (const std::string& f : flags)
                if (f.rfind("--", 0) == 0) ++faultCounts["restart with " + f];
    }
}

void Driver::killSim(const std::string& why) {
    if (!sim.running()) return;
    sim.kill9();
    journal.record([&](JournalData& d, Seq s) { d.faults.push_back({s, why, steadyNow()}); });
    std::lock_guard<std::mutex> guard(countersLock);
    ++faultCounts["kill -9"];
}

// --- trading days ---

namespace {

// Session ids of day d are told apart as d * SESSION_DAY_STRIDE + id: a new
// day numbers its sessions from 1 again.
constexpr uint32_t SESSION_DAY_STRIDE = 1000000;

uint32_t today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return static_cast<uint32_t>((local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday);
}

uint32_t nextDate(uint32_t date) {
    std::tm t{};
    t.tm_year = static_cast<int>(date / 10000) - 1900;
    t.tm_mon = static_cast<int>(date / 100 % 100) - 1;
    t.tm_mday = static_cast<int>(date % 100) + 1;
    t.tm_hour = 12;
    const std::time_t at = timegm(&t);
    std::tm next{};
    gmtime_r(&at, &next);
    return static_cast<uint32_t>((next.tm_year + 1900) * 10000 + (next.tm_mon + 1) * 100 + next.tm_mday);
}

// Appends the pushes and orders of `from` to `to`, as those of day `day`.
void appendDay(StoredDay& to, StoredDay from, uint32_t day) {
    for (StoredPush& p : from.pushes) {
        p.key.day = day;
        to.pushes.push_back(p);
    }
    for (StoredOrder& o : from.orders) {
        o.day = day;
        to.orders.push_back(o);
    }
}

}  // namespace

void Driver::keepDay() {
    for (int user = 0; user < 2; ++user) {
        StoredDay day;
        try {
            day = readStoredDay(dir + "sim.db", user == 0 ? USER : USER2);
        } catch (const std::exception& e) {
            fail(std::string("reading the simulator database before a new day: ") + e.what());
        }
        appendDay(earlierDays[user], std::move(day), static_cast<uint32_t>(dayStarts.size()));
    }
    dayLogEnds.push_back(readFileText(simLog).size());
}

uint32_t Driver::dayOf(Seq seq) const {
    return static_cast<uint32_t>(std::lower_bound(dayStarts.begin(), dayStarts.end(), seq) - dayStarts.begin());
}

JournalData Driver::dated(JournalData j) const {
    for (PushDelivery& p : j.pushes) p.key.day = dayOf(p.seq);
    for (LoginAnswer& l : j.logins) l.session += dayOf(l.seq) * SESSION_DAY_STRIDE;
    return j;
}

StoredDay Driver::allDays(int user, StoredDay today) const {
    StoredDay all = earlierDays[user];
    all.accountId = today.accountId;
    // Push ids go on across days, so the earlier days' come first.
    appendDay(all, std::move(today), static_cast<uint32_t>(dayStarts.size()));
    return all;
}

std::map<uint32_t, int64_t> Driver::allResumes(int user) const {
    const std::string text = readFileText(simLog);
    std::map<uint32_t, int64_t> all;
    std::size_t from = 0;
    for (uint32_t d = 0; d <= dayLogEnds.size(); ++d) {
        const std::size_t to = d < dayLogEnds.size() ? std::min(dayLogEnds[d], text.size()) : text.size();
        for (const auto& [session, resume] : parseLoginResumes(text.substr(from, to - from), user == 0 ? USER : USER2))
            all[d * SESSION_DAY_STRIDE + session] = resume;
        from = to;
    }
    return all;
}

// --- the trader ---

std::unique_ptr<kra::NXSMapNode> Driver::config() {
    auto node = std::make_unique<kra::NXSMapNode>();
    node->set("host", "127.0.0.1").set("port", std::to_string(port.load())).set("folder", folder).set("pushmode", "0");
    if (const int seconds = peerTimeout.load(); seconds > 0) node->set("peertimeout", std::to_string(seconds));
    if (const std::size_t cap = sendQueueCap.load(); cap > 0) node->set("sendqueue", std::to_string(cap));
    if (sharedThreads) node->set("threads", "shared").set("poolthreads", "1");
    return node;
}

void Driver::newTrader() {
    if (kra::ITraderApi* old = trader.load()) {
        listener.attach(nullptr, 0);
        module.destroy(old);
    }
    kra::ITraderApi* created = module.create();
    if (created == nullptr) fail("createTrader returned null");
    ++object;
    trader.store(created);
    listener.attach(created, object.load());
}

void Driver::guarded(const char* name, const std::function<void()>& call) {
    {
        std::lock_guard<std::mutex> guard(watchLock);
        calls[std::this_thread::get_id()] = {name, Clock::now()};
    }
    try {
        call();
    } catch (const std::exception& e) {
        const std::string what = std::string(name) + " threw: " + e.what();
        journal.record([&](JournalData& d, Seq) { d.hostThreadExceptions.push_back(what); });
    } catch (...) {
        const std::string what = std::string(name) + " threw a non-standard exception";
        journal.record([&](JournalData& d, Seq) { d.hostThreadExceptions.push_back(what); });
    }
    std::lock_guard<std::mutex> guard(watchLock);
    calls.erase(std::this_thread::get_id());
}

void Driver::lifecycleCall(LifecycleCall::What what, const char* name, const std::function<void()>& call) {
    std::size_t index = 0;
    const int obj = object.load();
    journal.record([&](JournalData& d, Seq s) {
        index = d.lifecycle.size();
        LifecycleCall c;
        c.what = what;
        c.object = obj;
        c.started = s;
        c.startedAt = steadyNow();
        d.lifecycle.push_back(c);
    });
    const Seq eventBefore = lastHostEventSeq();
    guarded(name, call);
    const Seq reported = lastHostEventSeq() != eventBefore ? lastHostEventSeq() : 0;
    journal.record([&](JournalData& d, Seq s) {
        d.lifecycle[index].ended = s;
        d.lifecycle[index].reported = reported;
    });
}

void Driver::initAndConnect() {
    kra::ITraderApi* t = trader.load();
    lifecycleCall(LifecycleCall::Init, "init", [&] {
        auto node = config();
        t->init(node.get());
    });
    t->registerListener(&listener);
    lifecycleCall(LifecycleCall::Connect, "connect", [&] { t->connect(); });
}

int Driver::placeOrder(const std::string& tag, bool fill, char direction) {
    kra::NXSEntrust* entrust = kra::NXSEntrust::create(INSTRUMENT, 1, 3500.0);
    entrust->exchange = "CFFEX";
    entrust->direction = static_cast<kra::NXSCode>(direction);
    entrust->priceType = '2';
    entrust->timeCondition = '3';
    entrust->offsetType = '0';
    entrust->userTag = tag;
    if (!fill) entrust->price = direction == '0' ? 3400.0 : 3600.0;  // rests: below / above the last price
    const int result =
        listener.request(RequestKind::Order, tag, [&] { return trader.load()->orderInsert(entrust); });
    entrust->release();
    if (result != 0 && (result != kra::REQUEST_REFUSED || sendQueueCap.load() == 0)) {
        const std::string what = "orderInsert returned " + std::to_string(result) + " for the valid order " + tag +
                                 " with no cap on the send queue";
        journal.record([&](JournalData& d, Seq) { d.hostThreadExceptions.push_back(what); });
    }
    return result;
}

int Driver::query(RequestKind kind) {
    kra::ITraderApi* t = trader.load();
    return listener.request(kind, "", [&] {
        switch (kind) {
            case RequestKind::QueryAccount:
                return t->queryAccount();
            case RequestKind::QueryPositions:
                return t->queryPositions();
            case RequestKind::QueryOrders:
                return t->queryOrders();
            default:
                return t->queryTrades();
        }
    });
}

Seq Driver::placeProbe(const std::string& tag, char direction) {
    const Seq placed = journal.stamp();
    placeOrder(tag, true, direction);
    return placed;
}

// --- chaos ---

void Driver::hostThread(const RoundPlan& plan, int round, int index) {
    markHostThread();
    std::mt19937_64 rng(mix(options.seed ^ mix(static_cast<uint64_t>(round) * 131 + static_cast<uint64_t>(index))));
    int total = 0;
    for (int w : plan.weights) total += w;
    int placed = 0;
    // Requests per thread and round are bounded: what a stopped trader
    // queues goes out at the next connect, and query answers grow with the
    // day's orders, so unbounded chaos would drown the quiesce after it.
    std::array<int, OP_COUNT> budget;
    budget.fill(200);
    budget[static_cast<int>(Op::Order)] = 40;
    budget[static_cast<int>(Op::Cancel)] = 20;
    // Every login replays the pushes after the id it resumes from: a few
    // racing logins are the point, hundreds only slow the round down.
    budget[static_cast<int>(Op::Login)] = 10;
    for (Op q : {Op::QueryAccount, Op::QueryPositions, Op::QueryOrders, Op::QueryTrades})
        budget[static_cast<int>(q)] = 10;
    while (!stopChaos.load()) {
        int pick = static_cast<int>(rng() % static_cast<uint64_t>(total));
        int op = 0;
        while (pick >= plan.weights[op]) pick -= plan.weights[op++];
        if (budget[op] == 0) {
            std::this_thread::sleep_for(milliseconds(1));
            continue;
        }
        --budget[op];
        const uint64_t choice = rng();
        kra::ITraderApi* t = trader.load();
        if (static_cast<Op>(op) == Op::Reuse) {
            // A host may release an object and start it again; it does not
            // call it from other threads meanwhile.
            std::unique_lock<std::shared_mutex> exclusive(opsLock);
            lifecycleCall(LifecycleCall::Release, "release", [&] { t->release(); });
            initAndConnect();
        } else {
            std::shared_lock<std::shared_mutex> shared(opsLock);
            switch (static_cast<Op>(op)) {
                case Op::Login:
                    // As a host does: only with a connection (a login queued
                    // while stopped is one more replay at the next connect).
                    guarded("login", [&] {
                        if (t->isConnected()) listener.login();
                    });
                    break;
                case Op::Order: {
                    const std::string tag = "soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) +
                                            "-t" + std::to_string(index) + "-" + std::to_string(++placed);
                    // As a host does, an entrust id with each order: every id
                    // of the run must be unique.
                    guarded("makeEntrustId", [&] { listener.entrustId(); });
                    guarded("orderInsert", [&] { placeOrder(tag, choice % 2 == 0, (choice >> 8) % 2 ? '0' : '1'); });
                    break;
                }
                case Op::Cancel: {
                    kra::NXSOrderAction* action = kra::NXSOrderAction::create();
                    action->actionFlag = '0';
                    action->orderId = choice % 5 == 0 ? "999999" : listener.someOrderId(choice >> 8);
                    if (!action->orderId.empty())
                        guarded("orderCancel", [&] {
                            listener.request(RequestKind::Cancel, action->orderId,
                                             [&] { return t->orderCancel(action); });
                        });
                    action->release();
                    break;
                }
                case Op::QueryAccount:
                    guarded("queryAccount", [&] { query(RequestKind::QueryAccount); });
                    break;
                case Op::QueryPositions:
                    guarded("queryPositions", [&] { query(RequestKind::QueryPositions); });
                    break;
                case Op::QueryOrders:
                    guarded("queryOrders", [&] { query(RequestKind::QueryOrders); });
                    break;
                case Op::QueryTrades:
                    guarded("queryTrades", [&] { query(RequestKind::QueryTrades); });
                    break;
                case Op::Connect:
                    lifecycleCall(LifecycleCall::Connect, "connect", [&] { t->connect(); });
                    break;
                case Op::Disconnect:
                    lifecycleCall(LifecycleCall::Disconnect, "disconnect", [&] { t->disconnect(); });
                    break;
                case Op::Init:
                    lifecycleCall(LifecycleCall::Init, "init", [&] {
                        auto node = config();
                        t->init(node.get());
                    });
                    break;
                default:
                    break;
            }
        }
        if (plan.pacingMs > 0) std::this_thread::sleep_for(milliseconds(choice % (plan.pacingMs + 1)));
    }
}

void Driver::chaos(const RoundPlan& plan, int round) {
    stopChaos.store(false);
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    if (plan.sharedThreads) {
        // The companions join the trader's pool thread and trade throughout;
        // half way their simulator is killed and started again, and one of
        // them is released from another thread and connected again.
        if (!companionSim) {
            std::filesystem::create_directories(dir + "companions/flow");
            {
                std::ofstream ini(dir + "companions/sim.ini");
                ini << SIM_CONFIG;
            }
            companionSim = std::make_unique<SimChild>(options.simPath, dir + "companions/sim.db",
                                                      dir + "companions/sim.ini", dir + "companions/sim.log",
                                                      dir + "companions/requests.journal");
        }
        std::string why;
        if (!companionSim->start(companionSim->port(), {}, 0, why)) fail("cannot start the companions' hvr-sim: " + why);
        companions = std::make_unique<Companions>(
            module.create, module.destroy, dir + "companions/flow/",
            [this](const char* name, const std::function<void()>& call) { guarded(name, call); },
            [this](const std::string& what) { fail(what); });
        companions->start(companionSim->port());
        threads.emplace_back([this, &plan, start] {
            markHostThread();
            std::this_thread::sleep_until(start + milliseconds(static_cast<int64_t>(plan.chaosSeconds * 500)));
            companions->releaseOne();
        });
    }
    // The companions' simulator goes down half way (on this thread: a
    // simulator is killed when the thread that started it ends).
    const Clock::time_point half = start + milliseconds(static_cast<int64_t>(plan.chaosSeconds * 500));
    bool companionsRestarted = !plan.sharedThreads;
    auto restartCompanionSim = [&] {
        if (companionsRestarted) return;
        companionsRestarted = true;
        std::this_thread::sleep_until(half);
        companionSim->kill9();
        std::string why;
        for (int attempt = 0; attempt < 20 && !companionSim->start(companionSim->port(), {}, 0, why); ++attempt)
            std::this_thread::sleep_for(milliseconds(100));
        if (!companionSim->running()) fail("cannot start the companions' hvr-sim again: " + why);
    };
    for (int i = 0; i < plan.threads; ++i)
        threads.emplace_back([this, &plan, round, i] { hostThread(plan, round, i); });

    // The fault steps, at their times (the driver's own schedule: host
    // threads go on meanwhile).
    bool capFilled = false;
    for (const FaultStep& step : plan.steps) {
        if (start + milliseconds(static_cast<int64_t>(step.at * 1000)) > half) restartCompanionSim();
        std::this_thread::sleep_until(start + milliseconds(static_cast<int64_t>(step.at * 1000)));
        if (step.what == FaultStep::Outage) {
            std::size_t index = 0;
            sim.kill9();
            journal.record([&](JournalData& d, Seq s) {
                d.faults.push_back({s, "kill -9 of hvr-sim (outage)", steadyNow()});
                index = d.outages.size();
                d.outages.push_back({s, 0});
            });
            {
                std::lock_guard<std::mutex> guard(countersLock);
                ++faultCounts["kill -9"];
                ++faultCounts["outage"];
            }
            const Clock::time_point down = Clock::now();
            if (plan.sendQueueCap != 0 && !capFilled) {
                fillToCap(round);
                capFilled = true;
            }
            std::this_thread::sleep_until(down + milliseconds(static_cast<int64_t>(step.down * 1000)));
            startSim(step.flags);
            journal.record([&](JournalData& d, Seq s) { d.outages[index].back = s; });
        } else {
            killSim(step.what == FaultStep::Crash ? "kill -9 of hvr-sim (crash)" : "kill -9 of hvr-sim (restart)");
            startSim(step.flags);
        }
    }
    restartCompanionSim();
    std::this_thread::sleep_until(start + milliseconds(static_cast<int64_t>(plan.chaosSeconds * 1000)));
    stopChaos.store(true);
    for (std::thread& t : threads) t.join();
    if (companions) companions->stopTrading();
}

// --- quiesce ---

// The first record of a journal list after seq: lists are appended in seq
// order, so the waits below look only at what is new to them.
template <typename Record>
typename std::vector<Record>::const_iterator recordsAfter(const std::vector<Record>& list, Seq seq) {
    return std::upper_bound(list.begin(), list.end(), seq, [](Seq s, const Record& r) { return s < r.seq; });
}

// Waits for an order's answer, accepted or refused; returns its seq.
Seq Driver::waitAnswer(const std::string& tag, Seq since, std::chrono::seconds limit, const std::string& context) {
    Seq at = 0;
    bool pushedFirst = false;
    const bool ok = journal.waitFor(
        [&](const JournalData& d) {
            for (auto e = recordsAfter(d.entrusts, since); e != d.entrusts.end(); ++e)
                if (e->tag == tag) at = e->seq;
            // The server answers an order before it pushes it: a push of the
            // order with no answer before it means the answer was lost.
            if (at == 0)
                for (auto p = recordsAfter(d.pushes, since); p != d.pushes.end(); ++p)
                    if (p->tag == tag) pushedFirst = true;
            return at != 0 || pushedFirst;
        },
        limit);
    if (!ok) fail(context);
    if (at == 0) fail(context.substr(0, context.find(" got no answer")) + ": its push came, its answer never did");
    return at;
}

Seq Driver::waitLogin(Seq after, std::chrono::seconds limit, const std::string& context) {
    const int obj = object.load();
    Seq at = 0;
    const bool ok = journal.waitFor(
        [&](const JournalData& d) {
            for (auto l = recordsAfter(d.logins, after); l != d.logins.end(); ++l)
                if (l->object == obj && l->succeeded) {
                    at = l->seq;
                    return true;
                }
            return false;
        },
        limit);
    if (!ok) fail(context);
    return at;
}

// Waits for an order's answer, its fill and its all-traded push; returns the
// seq of the answer.
Seq Driver::waitOrderDone(const std::string& tag, Seq since, std::chrono::seconds limit, const std::string& context) {
    Seq answeredAt = 0;
    const bool ok = journal.waitFor(
        [&](const JournalData& d) {
            bool filled = false, traded = false;
            for (auto e = recordsAfter(d.entrusts, since); e != d.entrusts.end(); ++e)
                if (e->tag == tag) answeredAt = e->seq;
            for (auto p = recordsAfter(d.pushes, since); p != d.pushes.end(); ++p) {
                if (p->tag != tag) continue;
                filled |= p->key.mtype == PUSH_ORDER && p->key.state == 0;
                traded |= p->key.mtype == PUSH_TRADE;
            }
            // Every push of the order came, and no answer before them: the
            // server answers first, so the answer was lost.
            return filled && traded;
        },
        limit);
    if (!ok) fail(context);
    if (answeredAt == 0) fail(context + " (its pushes came, its answer never did)");
    return answeredAt;
}

void Driver::quiesce(const RoundPlan& plan, int round, Seq roundStart, const PathCounts& paths) {
    setPhase("quiesce: clean simulator", seconds(30));
    listener.setThrowRates({}, 0);
    if (sendQueueCap.load() != 0) {
        // No request of the quiesce may be refused: the cap goes, by an init
        // (which a steady host may call as well).
        sendQueueCap.store(0);
        lifecycleCall(LifecycleCall::Init, "init", [&] {
            auto node = config();
            trader.load()->init(node.get());
        });
    }
    if (!sim.running() || !sim.flags().empty()) {
        killSim("kill -9 of hvr-sim (quiesce)");
        startSim({});
    }

    // An order answered after a login: what the chaos queued has gone out
    // ahead of it (requests on one connection are answered in order).
    const std::string tagBarrier = "soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) + "-barrier";
    listener.setAutoLogin(true);
    if (plan.steadyHost()) {
        // The host never closed a connection in this round: the trader comes
        // back by itself.
        setPhase("quiesce: settle", seconds(100));
        const Seq settle = journal.stamp();
        if (trader.load()->isConnected()) listener.login();
        waitLogin(settle, LOGIN_LIMIT,
                  "quiesce: the trader did not log in again within 20 s after the server came back (no host "
                  "connect, disconnect or release in this round)");
        const Seq placed = placeProbe(tagBarrier, '0');
        waitAnswer(tagBarrier, placed, BACKLOG_LIMIT,
                   "quiesce: the order " + tagBarrier + " placed after the login got no answer within 60 s");
    }

    setPhase("quiesce: release", seconds(40));
    lifecycleCall(LifecycleCall::Release, "release", [&] { trader.load()->release(); });
    if (!plan.reuseForQuiesce) newTrader();
    setPhase("quiesce: init, connect, login", seconds(40));
    const Seq before = journal.stamp();
    initAndConnect();
    const std::string objectText =
        "trader #" + std::to_string(object.load()) + (plan.reuseForQuiesce ? " (reused after release)" : " (new)");
    waitLogin(before, LOGIN_LIMIT,
              "quiesce: no successful login within 20 s after init + connect on " + objectText +
                  " against a clean simulator");
    if (!plan.steadyHost()) {
        setPhase("quiesce: backlog", seconds(100));
        const Seq placed = placeProbe(tagBarrier, '0');
        waitAnswer(tagBarrier, placed, BACKLOG_LIMIT,
                   "quiesce: the order " + tagBarrier + " placed after the login on " + objectText +
                       " got no answer within 60 s");
    }

    // Callbacks that throw once more must not cost the connection: the
    // round's probe callback, and every callback a probe order and a query
    // reach, each throws on its next call.
    setPhase("quiesce: probe after throws", seconds(40));
    const Seq armed = journal.stamp();
    if (options.listenerThrows) {
        listener.armThrowOnce(plan.probe);
        for (Callback c : {Callback::Entrust, Callback::OrderPush, Callback::TradePush, Callback::Orders})
            listener.armThrowOnce(c);
    }
    if (plan.probe == Callback::Login) {
        listener.login();
        waitLogin(armed, PROBE_LIMIT, "quiesce: no answer to a second login on " + objectText);
    } else if (plan.probe == Callback::Event) {
        // (0, 0) throws: a reconnect of our own makes one.
        lifecycleCall(LifecycleCall::Connect, "connect", [&] { trader.load()->connect(); });
        waitLogin(armed, LOGIN_LIMIT, "quiesce: no login again after connect on " + objectText);
    }
    query(RequestKind::QueryOrders);
    const std::string tagA = "soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) + "-probe";
    const Seq placedA = placeProbe(tagA, '0');
    waitOrderDone(tagA, placedA, PROBE_LIMIT,
                  "quiesce: callbacks threw on " + objectText + " (from " + callbackName(plan.probe) +
                      ", onEntrustAnswer, onOrderPush, onTradePush, onOrdersAnswer); afterwards the probe order " +
                      tagA + " got no complete answer and pushes within 15 s (the connection went deaf?)");
    if (options.listenerThrows && !journal.waitFor([&](const JournalData&) { return listener.armedThrowsFired(); },
                                                   PROBE_LIMIT))
        fail(std::string("quiesce: a callback armed to throw once never fired (the round's probe: ") +
             callbackName(plan.probe) + ")");

    if (plan.peerTimeoutSeconds > 0) deadPeer(plan, objectText);

    // A server that goes away must be noticed, and the session restored.
    setPhase("quiesce: server close", seconds(40));
    const Seq killed = journal.stamp();
    killSim("kill -9 of hvr-sim (quiesce probe)");
    const int obj = object.load();
    auto eventAfterKill = [&](int kind) {
        return [&, kind](const JournalData& d) {
            for (auto e = recordsAfter(d.events, killed); e != d.events.end(); ++e)
                if (e->object == obj && !e->onHostThread && e->kind == kind && e->code != 0) return true;
            return false;
        };
    };
    if (!journal.waitFor(eventAfterKill(1), NOTICE_LIMIT))
        fail("quiesce: hvr-sim was killed (seq " + std::to_string(killed) + ") and " + objectText +
             " never reported the end of its connection within 15 s (the server's close went unnoticed)");
    // Down until the module's next attempt, two seconds later, was refused:
    // an attempt it started and retried on its own, whose one result the
    // event checks count. Should the result never come, the server starts
    // at the deadline and the checks tell.
    journal.waitFor(eventAfterKill(0), REFUSED_LIMIT);
    startSim({});
    waitLogin(killed, NOTICE_LIMIT, "quiesce: " + objectText + " noticed the killed server but did not log in again");

    // The last push of the day is the closing order's; then drain.
    setPhase("quiesce: drain", seconds(40));
    const std::string tagB = "soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) + "-closing";
    const Seq placedB = placeProbe(tagB, '1');
    waitOrderDone(tagB, placedB, PROBE_LIMIT,
                  "quiesce: the closing order " + tagB + " got no complete answer and pushes within 15 s");
    StoredDay day;
    try {
        day = readStoredDay(dir + "sim.db", USER);
    } catch (const std::exception& e) {
        fail(std::string("reading the simulator database: ") + e.what());
    }
    // A new day's push ids must go on above the days before: checked now,
    // as a flow record resuming from the day before misses what is below.
    if (!dayStarts.empty())
        checkPushIdsGoOn(allDays(0, day), USER, [&](const std::string& kind, const std::string& detail) {
            fail("quiesce: the simulator's stored pushes", {kind + ": " + detail});
        });
    std::set<PushKey> missing;
    for (const StoredPush& p : day.pushes) missing.insert(p.key);
    std::size_t scanned = 0;
    const uint32_t thisDay = static_cast<uint32_t>(dayStarts.size());
    journal.waitFor(
        [&](const JournalData& d) {
            for (; scanned < d.pushes.size(); ++scanned)
                if (dayOf(d.pushes[scanned].seq) == thisDay) missing.erase(d.pushes[scanned].key);
            return missing.empty();
        },
        PROBE_LIMIT);
    listener.setAutoLogin(false);
    if (plan.userSwitch) switchUsers(round, objectText);
    setPhase("quiesce: final release", seconds(40));
    lifecycleCall(LifecycleCall::Release, "release", [&] { trader.load()->release(); });

    setPhase("checks", seconds(60));
    RoundWindow window;
    window.start = roundStart;
    window.end = journal.stamp();
    window.endAt = steadyNow();
    window.finalObject = obj;
    window.flowPushId = readFlowPushId(folder + USER + ".flow");
    window.tagPrefix = "soak-";
    std::vector<UserDay> users(2);
    for (int u = 0; u < 2; ++u) {
        users[u].user = u;
        users[u].name = u == 0 ? USER : USER2;
        users[u].resumes = allResumes(u);
        users[u].flowPushId = readFlowPushId(folder + users[u].name + ".flow");
        users[u].tagPrefix = u == 0 ? "soak-" : SECOND_USER_TAG;
        try {
            users[u].day = allDays(u, u == 0 ? day : readStoredDay(dir + "sim.db", USER2));
        } catch (const std::exception& e) {
            fail(std::string("reading the simulator database: ") + e.what());
        }
    }
    const CheckResult result = checkRound(dated(journal.snapshot()), users, readRequestJournal(simJournal), window);

    const CheckCounts& c = result.counts;
    totals.add(c);
    totals.paths.add(paths);
    std::printf("  checked: requests %s\n  send-error paths: %s\n  pushes stored %zu, delivered %zu (replayed on "
                "login %zu); flow file checked at %zu pushes, resume ids of %zu logins, %zu throws followed, %zu "
                "answers due\n  entrust ids %zu unique, accepted orders stored %zu, silence cuts followed by a "
                "reconnect %zu, new days with push ids going on %zu\n",
                requestsText(c).c_str(), pathsText(paths, c).c_str(), c.storedPushes, c.deliveries, c.replayed,
                c.flowStoresChecked, c.loginsChecked, c.throwsChecked, c.answersChecked, c.entrustIdsChecked,
                c.acceptedOrdersChecked, c.silenceCutsFollowed, c.dayChangesChecked);
    std::fflush(stdout);
    if (!result.violations.empty()) fail("invariants violated after round " + std::to_string(round), result.violations);
}

// --- drills ---

std::pair<Seq, uint16_t> Driver::waitConnected(Seq after, const std::string& context) {
    const int obj = object.load();
    std::pair<Seq, uint16_t> found{0, 0};
    const bool ok = journal.waitFor(
        [&](const JournalData& d) {
            for (auto e = recordsAfter(d.events, after); e != d.events.end(); ++e)
                if (e->object == obj && !e->onHostThread && e->kind == 0 && e->code == 0) {
                    found = {e->seq, e->localPort};
                    return true;
                }
            return false;
        },
        DRILL_LIMIT);
    if (!ok) fail(context + ": no connection within 15 s");
    if (found.second == 0) fail(context + ": the connection's socket is not in the kernel's table");
    return found;
}

std::vector<SendLine> Driver::waitSendLines(Seq after, std::size_t count, bool putBacks, const std::string& context) {
    const int obj = object.load();
    std::vector<SendLine> found;
    const bool ok = journal.waitFor(
        [&](const JournalData& d) {
            found.clear();
            for (const SendLine& l : d.sendLines)
                if (l.seq > after && l.object == obj &&
                    (l.what == SendLine::Dropped || (putBacks && l.what == SendLine::PutBack)) && found.size() < count)
                    found.push_back(l);
            return found.size() == count;
        },
        DRILL_LIMIT);
    if (!ok) fail(context);
    return found;
}

void Driver::waitEnded(Seq after, const std::string& context) {
    const int obj = object.load();
    const bool ok = journal.waitFor(
        [&](const JournalData& d) {
            for (auto e = recordsAfter(d.events, after); e != d.events.end(); ++e)
                if (e->object == obj && !e->onHostThread && e->kind == 1) return true;
            return false;
        },
        DRILL_LIMIT);
    if (!ok) fail(context);
}

void Driver::fillUntilBlocked(uint16_t localPort, const std::function<void(int)>& place, const std::string& context) {
    const int fd = socketDescriptorOf(parseTcpTable(readTcpTable()), localPort, port.load());
    if (fd < 0) fail(context + ": the connection's socket is not among this process's descriptors");
    int placed = 0;
    if (!test::fillUntilRefusedWhileSealed(fd, [&] { place(placed++); }, FILL_LIMIT, DRILL_LIMIT))
        fail(context + ": the kernel never refused a request while the connection's send queue was sealed (" +
             std::to_string(placed) + " placed)");
}

void Driver::waitFirstWrite(uint16_t localPort, const std::string& context) {
    if (listener.sendBuffersMissed() > 0) fail(context + ": a drill connection's send buffer could not be bounded");
    const int fd = socketDescriptorOf(parseTcpTable(readTcpTable()), localPort, port.load());
    if (fd < 0) fail(context + ": the connection's socket is not among this process's descriptors");
    const Clock::time_point deadline = Clock::now() + DRILL_LIMIT;
    for (;;) {
        const auto queued = sendQueueOfDescriptor(fd);
        if (!queued) fail(context + ": the connection's send queue cannot be read");
        if (*queued > 0) return;
        if (Clock::now() > deadline) fail(context + ": the batch waiting for the connection was never written");
        std::this_thread::sleep_for(milliseconds(1));
    }
}

void Driver::floodOrder(int round, const std::string& drill, int n) {
    std::string tag = "soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) + "-" + drill + "-" +
                      std::to_string(n) + "-";
    tag.resize(FLOOD_TAG, 'x');
    placeOrder(tag, false, '0');
}

void Driver::ownClose(OwnClose how, const std::function<void()>& beforeConnect) {
    kra::ITraderApi* t = trader.load();
    if (how == OwnClose::Release) {
        lifecycleCall(LifecycleCall::Release, "release", [&] { t->release(); });
    } else if (how == OwnClose::Disconnect) {
        lifecycleCall(LifecycleCall::Disconnect, "disconnect", [&] { t->disconnect(); });
    }
    if (how != OwnClose::Connect)
        lifecycleCall(LifecycleCall::Init, "init", [&] {
            auto node = config();
            t->init(node.get());
        });
    beforeConnect();
    lifecycleCall(LifecycleCall::Connect, "connect", [&] { t->connect(); });
}

PathCounts Driver::drills(const RoundPlan& plan, int round) {
    setPhase("drills", seconds(90));
    listener.setThrowRates({}, 0);
    listener.setAutoLogin(false);
    listener.setSmallSendBuffers(true);
    // The object was released at the end of the last quiesce (or is new):
    // nothing reaches it until it connects to the next simulator.
    if (plan.newDay) keepDay();
    killSim("kill -9 of hvr-sim (drills)");
    const Nanos drillsStarted = steadyNow();
    if (plan.newDay) {
        dayStarts.push_back(journal.stamp());
        tradingDate = nextDate(tradingDate);
        std::printf("  new trading day %u\n", tradingDate);
        std::lock_guard<std::mutex> guard(countersLock);
        ++faultCounts["new trading day"];
    }
    startSim(DRILL_FLAGS, plan.newDay ? tradingDate : 0);
    kra::ITraderApi* t = trader.load();
    lifecycleCall(LifecycleCall::Init, "init", [&] {
        auto node = config();
        t->init(node.get());
    });
    t->registerListener(&listener);
    PathCounts paths;

    // 1. A held connection filled with queries, one request per call, until
    // the kernel refuses one while nothing can make room: it waits with
    // nothing of it sent until our close, which puts it back; then the server
    // reads what the close left in the buffers.
    Seq mark = journal.stamp();
    lifecycleCall(LifecycleCall::Connect, "connect", [&] { t->connect(); });
    auto [connected, localPort] = waitConnected(mark, "drills, held connection 1");
    fillUntilBlocked(localPort, [&](int) { query(RequestKind::QueryAccount); }, "drills, held connection 1");
    mark = journal.stamp();
    ownClose(plan.firstClose, [] {});
    const std::vector<SendLine> first =
        waitSendLines(mark, 1, true,
                      std::string("drills: our own close (") + ownCloseName(plan.firstClose) +
                          ") cut off a write in flight, and the module logged no line about it within 15 s");
    if (first[0].what != SendLine::PutBack)
        fail("drills: our own close cut off a write that had sent nothing, and the module dropped it instead of "
             "putting it back");
    ++paths.putBack;
    sim.letGoNextHeld();

    // 2. The next held connection gets orders the same way: the refused one
    // waits (usually part of it sent, as the orders do not fit the segments
    // evenly); our close drops it, or puts it back. What queued behind it is
    // the next connection's first batch.
    std::tie(connected, localPort) = waitConnected(mark, "drills, held connection 2");
    fillUntilBlocked(localPort, [&](int n) { floodOrder(round, "d2", n); }, "drills, held connection 2");
    mark = journal.stamp();
    ownClose(plan.secondClose, [&] {
        for (int n = 0; n < FLOOD_ORDERS; ++n) floodOrder(round, "d2q", n);
    });
    const std::vector<SendLine> second =
        waitSendLines(mark, 1, true,
                      std::string("drills: our own close (") + ownCloseName(plan.secondClose) +
                          ") cut off a write in flight, and the module logged no line about it within 15 s");
    // Rarely the order that found the buffers full had nothing of it sent.
    ++(second[0].what == SendLine::Dropped ? paths.droppedByOwnClose : paths.putBack);
    sim.letGoNextHeld();

    // 3. The next connection starts with that batch, of which its first
    // write puts a few KiB in the kernel: the rest is in flight, and the
    // orders placed now wait behind it, the next connection's first batch.
    // Then the server reads 3000 bytes one at a time (fewer than the batch
    // has left) and resets: the module drops the batch, and waits two
    // seconds (the drop line may come only after the wait).
    Seq trickling = 0;
    std::tie(trickling, localPort) = waitConnected(mark, "drills, trickling connection 3");
    waitFirstWrite(localPort, "drills, trickling connection 3");
    for (int n = 0; n < FLOOD_ORDERS; ++n) floodOrder(round, "d4", n);
    sim.letGoNextHeld();
    waitEnded(trickling, "drills: the trickling connection's end was never reported");

    // 4. The server resets the next connection, its first write in flight,
    // without reading anything.
    std::tie(connected, localPort) = waitConnected(trickling, "drills, resetting connection 4");
    waitFirstWrite(localPort, "drills, resetting connection 4");
    sim.letGoNextHeld();
    waitEnded(connected, "drills: the reset connection's end was never reported");
    waitSendLines(trickling, 2, false,
                  "drills: the server reset two connections with a batch in flight (one after one-byte reads), and "
                  "the module did not log two drop lines within 15 s");
    ++paths.droppedAfterTrickle;
    ++paths.droppedAfterReset;

    // 5. A connection that succeeds while the host disconnects: a connect
    // replaces the live connection, the network thread is held in the old
    // one's (1, 125) while the new attempt completes, and the host
    // disconnects meanwhile. The attempt must end as (0, 125): no (0, 0)
    // after disconnect's (1, 0).
    std::tie(connected, localPort) = waitConnected(connected, "drills, connection 5");
    listener.holdNextAbortedEnd(milliseconds(300));
    mark = journal.stamp();
    lifecycleCall(LifecycleCall::Connect, "connect", [&] { t->connect(); });
    const bool held = journal.waitFor(
        [&](const JournalData& d) {
            for (auto e = recordsAfter(d.events, mark); e != d.events.end(); ++e)
                if (!e->onHostThread && e->kind == 1 && e->code == 125) return true;
            return false;
        },
        DRILL_LIMIT);
    if (!held) fail("drills: the connection a connect replaced never reported its aborted receive");
    lifecycleCall(LifecycleCall::Disconnect, "disconnect", [&] { t->disconnect(); });
    const int obj = object.load();
    if (!journal.waitFor(
            [&](const JournalData& d) {
                for (auto e = recordsAfter(d.events, mark); e != d.events.end(); ++e)
                    if (e->object == obj && !e->onHostThread && e->kind == 0) return true;
                return false;
            },
            DRILL_LIMIT))
        fail("drills: an attempt that raced disconnect never reported its end");

    // The held connections that were let go to read end once the server has
    // read what our closes left in their buffers; only then may it go.
    const bool drained = [&] {
        const Clock::time_point deadline = Clock::now() + DRILL_LIMIT;
        for (;;) {
            const std::vector<SimConnection> connections = readRequestJournal(simJournal);
            std::size_t held = 0, closed = 0;
            for (const SimConnection& c : connections)
                if (c.fault == "hold" && c.accepted >= drillsStarted) {
                    ++held;
                    closed += c.closed != 0;
                }
            if (held >= 2 && closed == held) return true;
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(50));
        }
    }();
    if (!drained) fail("drills: the server never read the held connections to their end");

    // 6. A host thread's send the socket takes only in part.
    partialSendDrill(round);
    ++paths.partialSends;
    listener.setSmallSendBuffers(false);
    return paths;
}

void Driver::partialSendDrill(int round) {
    kra::ITraderApi* t = trader.load();
    const int obj = object.load();
    const std::string context = "drills, partial send";
    const Seq after = journal.stamp();
    lifecycleCall(LifecycleCall::Init, "init", [&] {
        auto node = config();
        t->init(node.get());
    });
    lifecycleCall(LifecycleCall::Connect, "connect", [&] { t->connect(); });
    const std::pair<Seq, uint16_t> connection = waitConnected(after, context);
    const Seq connected = connection.first;
    const uint16_t localPort = connection.second;
    if (listener.sendBuffersMissed() > 0) fail(context + ": a drill connection's send buffer could not be bounded");
    const int fd = socketDescriptorOf(parseTcpTable(readTcpTable()), localPort, port.load());
    if (fd < 0) fail(context + ": the connection's socket is not among this process's descriptors");

    // Whatever waited for this connection went out before a query that is
    // answered; once the server has acknowledged it all, the socket is empty.
    const Seq asked = journal.stamp();
    query(RequestKind::QueryAccount);
    if (!journal.waitFor(
            [&](const JournalData& d) {
                for (auto a = recordsAfter(d.queryAnswers, asked); a != d.queryAnswers.end(); ++a)
                    if (a->object == obj) return true;
                return false;
            },
            DRILL_LIMIT))
        fail(context + ": a query on a fresh connection got no answer within 15 s");
    const Clock::time_point deadline = Clock::now() + DRILL_LIMIT;
    for (;;) {
        const auto queued = sendQueueOfDescriptor(fd);
        if (!queued) fail(context + ": the connection's send queue cannot be read");
        if (*queued == 0) break;
        if (Clock::now() > deadline) fail(context + ": the server never acknowledged what it read");
        std::this_thread::sleep_for(milliseconds(1));
    }

    // The server stops reading; this thread's send of an order larger than
    // anything the buffers on the way can take finds the socket empty, so
    // the kernel takes a part of it and the rest is left to the module.
    sim.freeze();
    std::string big = "soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) + "-d6-partial-";
    big.resize(PARTIAL_TAG, 'x');
    placeOrder(big, false, '0');
    const auto queued = sendQueueOfDescriptor(fd);
    const auto unread = receiveQueueOf(parseTcpTable(readTcpTable()), port.load(), localPort);
    if (!queued || !unread) {
        sim.thaw();
        fail(context + ": the connection's queues cannot be read");
    }
    const uint64_t taken = uint64_t{*queued} + *unread;
    if (taken == 0 || taken >= big.size()) {
        sim.thaw();
        fail(context + ": the kernel took " + std::to_string(taken) + " bytes of an order of " +
             std::to_string(big.size()) + " while the server read nothing: no send in part to follow");
    }
    std::vector<std::string> tags{big};
    for (int n = 0; n < PARTIAL_FOLLOWERS; ++n) {
        tags.push_back("soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) + "-d6-after-" +
                       std::to_string(n));
        placeOrder(tags.back(), false, '0');
    }
    sim.thaw();

    // The server reads on: every order arrives whole and in order, and is
    // answered (refused: nobody logged in), on this connection.
    bool ended = false;
    const bool answered = journal.waitFor(
        [&](const JournalData& d) {
            std::size_t got = 0;
            for (auto e = recordsAfter(d.entrusts, connected); e != d.entrusts.end(); ++e)
                if (e->object == obj && std::find(tags.begin(), tags.end(), e->tag) != tags.end()) ++got;
            for (auto e = recordsAfter(d.events, connected); e != d.events.end(); ++e)
                if (e->object == obj && !e->onHostThread && e->kind == 1) ended = true;
            return got == tags.size() || ended;
        },
        DRILL_LIMIT);
    const std::string what = "an order of " + std::to_string(big.size()) + " bytes that this thread's send left in " +
                             "part to the module (the kernel took " + std::to_string(taken) + ") and " +
                             std::to_string(PARTIAL_FOLLOWERS) + " orders behind it";
    if (ended) fail(context + ": the connection ended before the server had answered " + what +
                    " (the rest went out from the wrong byte?)");
    if (!answered) fail(context + ": the server did not answer " + what + " within 15 s");
}

// --- the promises of some rounds ---

void Driver::fillToCap(int round) {
    // As a host thread: no release or reuse meanwhile, which would empty the
    // queue. With no connection, nothing else does.
    std::shared_lock<std::shared_mutex> shared(opsLock);
    int placed = 0, refused = 0;
    for (; placed < CAP_FILL_LIMIT && refused < 4; ++placed) {
        int result = 0;
        if (placed % 2 == 0) {
            result = placeOrder("soak-" + std::to_string(options.seed) + "-r" + std::to_string(round) + "-cap-" +
                                    std::to_string(placed),
                                false, '1');
        } else {
            result = query(RequestKind::QueryTrades);
        }
        refused += result == kra::REQUEST_REFUSED;
    }
    if (refused == 0)
        fail("chaos: with the send queue capped at " + std::to_string(sendQueueCap.load()) + " bytes and the server " +
             "down, the module refused none of " + std::to_string(placed) + " requests");
}

void Driver::deadPeer(const RoundPlan& plan, const std::string& objectText) {
    setPhase("quiesce: dead peer", seconds(plan.peerTimeoutSeconds + 90));
    const int obj = object.load();
    const std::string context = "quiesce, dead peer (peertimeout " + std::to_string(plan.peerTimeoutSeconds) + " s)";
    // The module judges a silence only once the server has sent a heartbeat
    // on the connection. Everything asked for has been answered: what
    // arrives now nobody asked for, and 32 bytes hold at least one of the
    // server's own heartbeats (the echo of the module's comes once in 10 s).
    uint16_t localPort = 0;
    {
        const JournalData j = journal.snapshot();
        for (const TraderEventRecord& e : j.events)
            if (e.object == obj && !e.onHostThread && e.kind == 0 && e.code == 0) localPort = e.localPort;
    }
    const int fd = socketDescriptorOf(parseTcpTable(readTcpTable()), localPort, port.load());
    const auto before = bytesReceivedOfDescriptor(fd);
    if (fd < 0 || !before) fail(context + ": the connection's socket of " + objectText + " cannot be read");
    const Clock::time_point deadline = Clock::now() + DRILL_LIMIT;
    for (;;) {
        const auto now = bytesReceivedOfDescriptor(fd);
        if (!now) fail(context + ": the connection of " + objectText + " ended before the server's heartbeat came");
        if (*now >= *before + 32) break;
        if (Clock::now() > deadline) fail(context + ": no heartbeat from the server within 15 s");
        std::this_thread::sleep_for(milliseconds(20));
    }

    const Seq frozen = journal.stamp();
    sim.freeze();
    journal.record([&](JournalData& d, Seq s) { d.faults.push_back({s, "SIGSTOP of hvr-sim (dead peer)", steadyNow()}); });
    {
        std::lock_guard<std::mutex> guard(countersLock);
        ++faultCounts["frozen past the peer timeout"];
    }
    Seq cut = 0;
    const bool noticed = journal.waitFor(
        [&](const JournalData& d) {
            for (auto e = recordsAfter(d.events, frozen); e != d.events.end(); ++e)
                if (e->object == obj && !e->onHostThread && e->kind == 1) {
                    cut = e->seq;
                    return true;
                }
            return false;
        },
        seconds(plan.peerTimeoutSeconds + 30));
    sim.thaw();
    journal.record([&](JournalData& d, Seq s) { d.faults.push_back({s, "SIGCONT of hvr-sim", steadyNow()}); });
    if (!noticed)
        fail(context + ": hvr-sim was frozen at seq " + std::to_string(frozen) + " and " + objectText +
             " never ended its connection within " + std::to_string(plan.peerTimeoutSeconds + 30) + " s");
    const bool reconnected = journal.waitFor(
        [&](const JournalData& d) {
            for (auto e = recordsAfter(d.events, cut); e != d.events.end(); ++e)
                if (e->object == obj && !e->onHostThread && e->kind == 0 && e->code == 0) return true;
            return false;
        },
        NOTICE_LIMIT);
    if (!reconnected)
        fail(context + ": " + objectText + " cut its connection to the frozen server at seq " + std::to_string(cut) +
             " and did not connect again within 15 s");
    waitLogin(cut, NOTICE_LIMIT,
              context + ": " + objectText + " connected again after the silence cut but did not log in");
}

void Driver::switchUsers(int round, const std::string& objectText) {
    setPhase("quiesce: user switch", seconds(60));
    const Seq second = journal.stamp();
    listener.login(1);
    waitLogin(second, PROBE_LIMIT,
              "quiesce: the second user's login on " + objectText + " got no successful answer within 15 s");
    const std::string tag = std::string(SECOND_USER_TAG) + std::to_string(options.seed) + "-r" +
                            std::to_string(round) + "-switch";
    const Seq placed = placeProbe(tag, '0');
    waitOrderDone(tag, placed, PROBE_LIMIT,
                  "quiesce: the second user's order " + tag + " got no complete answer and pushes within 15 s");
    const Seq first = journal.stamp();
    listener.login(0);
    waitLogin(first, PROBE_LIMIT,
              "quiesce: the first user's login again on " + objectText + " got no successful answer within 15 s");
}

// --- rounds ---

void Driver::runRound(int round) {
    currentRound.store(round);
    const RoundPlan plan = makePlan(options.seed, round, round == 1);
    std::printf("round %d: %s%s\n", round, describePlan(plan).c_str(),
                options.listenerThrows ? "" : " (listener throws left out)");
    std::fflush(stdout);

    setPhase("round start", seconds(40));
    // A trader takes the mode at its first connect: a round in the other
    // mode starts with a new object.
    const bool modeChanges = plan.sharedThreads != sharedThreads.load();
    sharedThreads.store(plan.sharedThreads);
    if (plan.newObject || modeChanges) newTrader();
    const Seq roundStart = journal.stamp();
    // The drills run with the module's defaults: a peer timeout would also
    // time out their held connections' shut windows.
    peerTimeout.store(0);
    sendQueueCap.store(0);
    sim.setStandingFlags({});
    const PathCounts paths = drills(plan, round);

    setPhase("round start", seconds(40));
    killSim("kill -9 of hvr-sim (round start)");
    peerTimeout.store(plan.peerTimeoutSeconds);
    sendQueueCap.store(plan.sendQueueCap);
    if (plan.peerTimeoutSeconds > 0)
        sim.setStandingFlags({"--heartbeat-seconds", std::to_string(PEER_ROUND_HEARTBEAT_SECONDS)});
    totals.capRounds += plan.sendQueueCap != 0;
    totals.peerRounds += plan.peerTimeoutSeconds > 0;
    totals.switchRounds += plan.userSwitch;
    startSim(plan.startFlags);
    listener.setThrowRates(options.listenerThrows ? plan.throwRates : std::array<double, CALLBACK_COUNT>{},
                           mix(options.seed + static_cast<uint64_t>(round)));
    initAndConnect();

    setPhase("chaos", seconds(static_cast<int>(plan.chaosSeconds) + 60));
    chaos(plan, round);
    quiesce(plan, round, roundStart, paths);
    if (companions) {
        setPhase("companions", seconds(90));
        if (!companionSim->running()) {
            std::string why;
            if (!companionSim->start(companionSim->port(), {}, 0, why)) fail("cannot start the companions' hvr-sim: " + why);
        }
        std::printf("  %s\n", companions->finish(companionSim->port()).c_str());
        std::fflush(stdout);
        companions.reset();
        companionSim->kill9();
        ++totals.sharedRounds;
    }
    ++totals.rounds;
}

int Driver::run() {
    std::thread dog([this] { watchdog(); });
    {
        std::ofstream ini(dir + "sim.ini");
        ini << SIM_CONFIG;
    }
    markHostThread();
    setPhase("first start", seconds(30));
    tradingDate = today();
    startSim({}, tradingDate);
    newTrader();

    const Clock::time_point start = Clock::now();
    const auto budget = milliseconds(static_cast<int64_t>(options.seconds * 1000));
    int round = 0;
    // A round takes about 15 s; none starts that would overrun much.
    while (round == 0 || Clock::now() - start + seconds(10) < budget) runRound(++round);

    setPhase("end", seconds(30));
    if (kra::ITraderApi* t = trader.load()) {
        listener.attach(nullptr, 0);
        module.destroy(t);
        trader.store(nullptr);
    }
    sim.kill9();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const JournalData end = journal.snapshot();
    std::string faults;
    {
        std::lock_guard<std::mutex> guard(countersLock);
        for (const auto& [kind, n] : faultCounts)
            faults += (faults.empty() ? "" : ", ") + kind + " " + std::to_string(n);
    }
    const CheckCounts& c = totals.last;
    const CheckCounts& sum = totals.sum;
    // Each send-error path must have run: a soak that never drove one says
    // nothing about it.
    std::vector<std::string> idle;
    const PathCounts& p = totals.paths;
    if (p.putBack == 0) idle.push_back("a batch put back after our own close");
    if (p.droppedByOwnClose == 0) idle.push_back("a batch our own close cut off part way");
    if (p.droppedAfterReset == 0) idle.push_back("a batch the server reset unread");
    if (p.droppedAfterTrickle == 0) idle.push_back("a batch the server read one byte at a time, then reset");
    if (p.partialSends == 0) idle.push_back("a host thread's send the socket took only in part");
    if (totals.capRounds > 0 && sum.requestsRefused == 0) idle.push_back("a request the capped send queue refused");
    if (totals.peerRounds > 0 && sum.silenceCutsFollowed == 0) idle.push_back("a silence cut and the reconnect after it");
    if (!idle.empty()) fail("send-error paths that never ran in " + std::to_string(totals.rounds) + " rounds", idle);
    std::printf(
        "hvr-soak PASSED: seed %llu, %d rounds (%d in the shared mode) in %.0f s; faults injected: %s; listener throws %zu; "
        "pushes stored %zu, delivered %zu (replayed on login %zu, duplicated %zu, lost %zu); requests %s; "
        "send-error paths: %s; flow file checked at %zu pushes, resume ids of %zu logins, %zu throws followed, %zu "
        "answers due; entrust ids %zu unique, accepted orders stored %zu; rounds with a capped send queue %d, a peer "
        "timeout %d (silence cuts followed by a reconnect %zu), a user switch %d\n",
        static_cast<unsigned long long>(options.seed), totals.rounds, totals.sharedRounds, elapsed, faults.c_str(),
        end.throwsOnNetworkThread.size(), c.storedPushes, c.deliveries, c.replayed, c.duplicated, c.lost,
        requestsText(sum).c_str(), pathsText(totals.paths, sum).c_str(), sum.flowStoresChecked, sum.loginsChecked,
        sum.throwsChecked, sum.answersChecked, c.entrustIdsChecked, c.acceptedOrdersChecked, totals.capRounds,
        totals.peerRounds, sum.silenceCutsFollowed, totals.switchRounds);
    std::fflush(stdout);
    finished.store(true);
    dog.join();
    return 0;
}

// --- failure and the watchdog ---

void Driver::fail(const std::string& what, const std::vector<std::string>& details) {
    // The watchdog keeps running (a finished, unjoined thread would be one
    // more report at exit) but stays quiet.
    failing.store(true);
    std::string phaseNow;
    {
        std::lock_guard<std::mutex> guard(watchLock);
        phaseNow = phase;
    }
    std::fprintf(stderr, "\nhvr-soak FAILED: seed %llu, round %d, phase '%s'\n  %s\n",
                 static_cast<unsigned long long>(options.seed), currentRound.load(), phaseNow.c_str(), what.c_str());
    for (const std::string& d : details) std::fprintf(stderr, "  - %s\n", d.c_str());
    if (details.empty()) {
        // Whatever else the journal already shows.
        for (const std::string& d : checkEventsOnly(journal.snapshot())) std::fprintf(stderr, "  - %s\n", d.c_str());
    }
    const JournalData j = journal.snapshot();
    // Every entry of the run, one per line in seq order, goes to a file; the
    // last ones of the current object to the report.
    std::vector<std::pair<Seq, std::string>> lines;
    static const char* const names[] = {"init", "connect", "disconnect", "release"};
    static const char* const sendLines[] = {"drop line", "put-back line", "release line", "unacknowledged line"};
    for (const TraderEventRecord& e : j.events)
        lines.push_back({e.seq, "#" + std::to_string(e.object) + " (" + std::to_string(e.kind) + ", " +
                                    std::to_string(e.code) + ") " + (e.onHostThread ? "host" : "network") +
                                    (e.localPort != 0 ? " port " + std::to_string(e.localPort) : "")});
    for (const LifecycleCall& c : j.lifecycle)
        lines.push_back({c.started, "#" + std::to_string(c.object) + " " + names[c.what] +
                                        " called, returned at seq " + std::to_string(c.ended)});
    for (const LoginAnswer& l : j.logins)
        lines.push_back({l.seq, "#" + std::to_string(l.object) + " login answer: " +
                                    (l.succeeded ? "ok, session " + std::to_string(l.session) : "refused")});
    for (const RequestRecord& r : j.requests)
        lines.push_back({r.started, "#" + std::to_string(r.object) + " " + requestKindName(r.kind) + " " +
                                        r.key.substr(0, 40) + " returned at seq " + std::to_string(r.ended)});
    for (const SendLine& l : j.sendLines)
        lines.push_back({l.seq, "#" + std::to_string(l.object) + " " + sendLines[l.what] + " " +
                                    std::to_string(l.requests) + " requests, " + std::to_string(l.sentWhole) +
                                    " whole"});
    for (const LogLineSeen& t : j.throwsOnNetworkThread)
        lines.push_back({t.seq, "#" + std::to_string(t.object) + " the listener threw"});
    for (const ServerFault& f : j.faults) lines.push_back({f.seq, f.what});
    std::sort(lines.begin(), lines.end());
    {
        std::ofstream all(dir + "journal.txt");
        for (const auto& [seq, text] : lines) all << seq << " " << text << "\n";
    }
    const std::string mine = "#" + std::to_string(object.load()) + " ";
    std::vector<std::string> recent;
    for (const auto& [seq, text] : lines)
        if (text.rfind(mine, 0) == 0 || text.rfind("kill", 0) == 0) recent.push_back(std::to_string(seq) + " " + text);
    std::fprintf(stderr, "  the journal's last entries for trader #%d (all of them in %sjournal.txt):\n",
                 object.load(), dir.c_str());
    for (std::size_t i = recent.size() > 30 ? recent.size() - 30 : 0; i < recent.size(); ++i)
        std::fprintf(stderr, "    %s\n", recent[i].c_str());
    std::fprintf(stderr, "  last module log lines:\n");
    for (const std::string& line : listener.recentLogs()) std::fprintf(stderr, "    %s\n", gbkToUtf8(line).c_str());
    std::fprintf(stderr, "  simulator log and database kept in %s\n  replay: make soak SOAK_SEED=%llu\n", dir.c_str(),
                 static_cast<unsigned long long>(options.seed));
    std::fflush(stderr);
    std::fflush(stdout);
    _exit(1);  // the module's threads may be stuck: no destructors
}

void Driver::setPhase(const std::string& name, std::chrono::seconds limit) {
    std::lock_guard<std::mutex> guard(watchLock);
    phase = name;
    phaseDeadline = Clock::now() + limit;
}

void Driver::watchdog() {
    while (!finished.load()) {
        std::this_thread::sleep_for(milliseconds(200));
        std::string hang;
        {
            std::lock_guard<std::mutex> guard(watchLock);
            const Clock::time_point now = Clock::now();
            if (now > phaseDeadline) hang = "phase '" + phase + "' overran its deadline";
            for (const auto& [id, call] : calls)
                if (now - call.second > CALL_LIMIT)
                    hang = std::string(call.first) + " has not returned for " +
                           std::to_string(std::chrono::duration_cast<seconds>(now - call.second).count()) + " s";
        }
        if (!hang.empty() && !finished.load() && !failing.load()) {
            std::fprintf(stderr,
                         "\nhvr-soak FAILED (hang): seed %llu, round %d: %s\n  replay: make soak SOAK_SEED=%llu\n"
                         "  simulator log and database kept in %s\n",
                         static_cast<unsigned long long>(options.seed), currentRound.load(), hang.c_str(),
                         static_cast<unsigned long long>(options.seed), dir.c_str());
            std::fflush(stderr);
            _exit(3);
        }
    }
}

}  // namespace

int runSoak(const SoakOptions& options) {
    if (options.planRounds > 0) {
        for (int round = 1; round <= options.planRounds; ++round)
            std::printf("round %d: %s\n", round, describePlan(makePlan(options.seed, round, round == 1)).c_str());
        return 0;
    }
    void* handle = dlopen(options.modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "hvr-soak: dlopen %s: %s\n", options.modulePath.c_str(), dlerror());
        return 2;
    }
    Module module;
    module.create = reinterpret_cast<kra::CreateTraderFunc>(dlsym(handle, "createTrader"));
    module.destroy = reinterpret_cast<kra::DeleteTraderFunc>(dlsym(handle, "deleteTrader"));
    if (module.create == nullptr || module.destroy == nullptr) {
        std::fprintf(stderr, "hvr-soak: %s lacks createTrader/deleteTrader\n", options.modulePath.c_str());
        return 2;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "hvr-soak-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "hvr-soak: cannot make a temporary directory\n");
        return 2;
    }
    const std::string dir = pattern + "/";
    std::printf("hvr-soak: seed %llu, %.0f s, module %s, simulator %s, files in %s\n",
                static_cast<unsigned long long>(options.seed), options.seconds, options.modulePath.c_str(),
                options.simPath.c_str(), dir.c_str());
    std::fflush(stdout);
    int code = 0;
    {
        Driver driver(options, module, dir);
        code = driver.run();
    }
    std::error_code ignored;
    if (code == 0 && !options.keepFiles) std::filesystem::remove_all(dir, ignored);
    // The module stays loaded: its objects are gone, and unloading would hide
    // leaks from a sanitizer.
    return code;
}

}  // namespace hvr::soak
