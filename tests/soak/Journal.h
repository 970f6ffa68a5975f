// The soak's record of one run: every request the host threads made, every
// answer, push, login and log line the listener got, and every fault the
// driver injected, each stamped with one run-wide sequence number, so that
// "before" and "after" are exact across threads, and with the steady clock
// (CLOCK_MONOTONIC, the clock of the simulator's request journal), so that
// host and server events can be compared.
//
// Threads: host threads, the trader's network thread and the driver's main
// thread all append; every access takes the journal's lock. The invariant
// checks read a copy (snapshot()).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace hvr::soak {

using Seq = uint64_t;
using Nanos = int64_t;  // steady-clock nanoseconds

inline Nanos steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// mtype values of the pushes (the function codes of order and trade pushes).
constexpr uint32_t PUSH_ORDER = 60;
constexpr uint32_t PUSH_TRADE = 61;

// What a pushed record says, independent of how it arrived: host deliveries
// carry no push id, so they are matched with the simulator's stored pushes by
// this content. Order pushes: order id, state (OrderState value), traded and
// left volume; trade pushes: the trade id only. A new trading day numbers
// its orders and trades from 1 again, so the key also says which day of the
// run (0 for the first) the push belongs to: the driver sets it, by when a
// delivery came and from which day's database a stored push was read.
struct PushKey {
    uint32_t mtype = 0;
    uint32_t id = 0;
    uint32_t state = 0;
    uint32_t traded = 0;
    uint32_t left = 0;
    uint32_t day = 0;

    bool operator<(const PushKey& o) const {
        return std::tie(day, mtype, id, state, traded, left) < std::tie(o.day, o.mtype, o.id, o.state, o.traded, o.left);
    }
    bool operator==(const PushKey& o) const {
        return std::tie(day, mtype, id, state, traded, left) ==
               std::tie(o.day, o.mtype, o.id, o.state, o.traded, o.left);
    }
    std::string describe() const;
};

enum class RequestKind { Order, Cancel, QueryAccount, QueryPositions, QueryOrders, QueryTrades, Login };
const char* requestKindName(RequestKind kind);
// The function code a request of this kind goes out under.
uint16_t functionCodeOf(RequestKind kind);

// One host call that sends a request. Orders are named by their user tag and
// logins by their resource text, both unique in a run, so that each can be
// found in the simulator's request journal; cancels by the order id and
// queries by nothing.
struct RequestRecord {
    Seq started = 0;  // stamped just before the call
    Seq ended = 0;    // stamped once it returned (0 while it runs)
    Nanos startedAt = 0;
    Nanos endedAt = 0;
    int object = 0;
    RequestKind kind = RequestKind::Order;
    std::string key;
    // The call returned REQUEST_REFUSED (the send queue was at its cap):
    // nothing of it may reach the server.
    bool refused = false;
    int user = 0;  // a login's user (0: the run's main user, 1: the second)
};

struct PushDelivery {
    Seq seq = 0;     // the callback started
    Seq exited = 0;  // the callback was about to return (or throw)
    int object = 0;  // which trader object delivered it (a new one per createTrader)
    PushKey key;
    std::string tag;  // the user tag the record carries
    // The push id in the flow file when the callback started: the module
    // stored the one before after that callback returned. -1: unreadable.
    int64_t flowAtStart = -1;
    int user = 0;  // whose account it belongs to (known by its tag)
};

struct LoginAnswer {
    Seq seq = 0;
    int object = 0;
    bool succeeded = false;
    uint32_t session = 0;  // the session id of a successful login, read through makeEntrustId
    int user = 0;          // the user of the login call before it
};

struct EntrustAnswer {
    Seq seq = 0;
    int object = 0;
    std::string tag;
    bool refused = false;
};

struct QueryAnswer {
    Seq seq = 0;
    int object = 0;
    RequestKind kind = RequestKind::QueryAccount;
};

// An id makeEntrustId handed out, on whichever thread asked for it.
struct EntrustIdRecord {
    Seq seq = 0;
    int object = 0;
    std::string id;
};

// A listener call on the network thread that the checks above do not keep:
// a refused cancel.
struct OtherCallback {
    Seq seq = 0;
    int object = 0;
};

// A span during which the simulator was down: from its kill to the moment a
// new one was listening again.
struct Outage {
    Seq killed = 0;
    Seq back = 0;  // 0 while still down
};

// Server-side events that may lose what the server had not read: a kill -9,
// and a connection closed by the simulator while it drops connections on
// purpose.
struct ServerFault {
    Seq seq = 0;
    std::string what;
    Nanos at = 0;
};

// One onTraderEvent: the object, the thread it came on, and for a "connected"
// event on the network thread the local port of the connection it reports
// (0 when none was found), which names it in the simulator's journal.
struct TraderEventRecord {
    Seq seq = 0;
    int object = 0;
    int kind = 0;
    int code = 0;
    bool onHostThread = false;
    uint16_t localPort = 0;
    Nanos at = 0;
};

// Host calls that change the trader's life: init, connect, disconnect, release.
struct LifecycleCall {
    enum What { Init, Connect, Disconnect, Release } what = Init;
    int object = 0;
    Seq started = 0;
    Seq reported = 0;  // disconnect: its own (1, 0) event on the calling thread
    Seq ended = 0;     // 0 while running
    Nanos startedAt = 0;
};

// The module's lines about requests it could not send: a dropped batch (how
// many requests it held, how many had left whole), a batch put back after our
// own close, the requests release dropped with the queue, and the requests
// the server had not acknowledged at our own close (each may have arrived).
struct SendLine {
    enum What { Dropped, PutBack, Released, Unacknowledged } what = Dropped;
    Seq seq = 0;
    int object = 0;
    int requests = 0;
    int sentWhole = 0;
};

struct LogLineSeen {
    Seq seq = 0;
    int object = 0;
    Nanos at = 0;
};

struct JournalData {
    std::vector<RequestRecord> requests;
    std::vector<PushDelivery> pushes;
    std::vector<LoginAnswer> logins;
    std::vector<EntrustAnswer> entrusts;
    std::vector<QueryAnswer> queryAnswers;
    std::vector<EntrustIdRecord> entrustIds;
    std::vector<OtherCallback> otherCallbacks;
    std::vector<Outage> outages;
    std::vector<ServerFault> faults;
    std::vector<TraderEventRecord> events;
    std::vector<LifecycleCall> lifecycle;
    std::vector<SendLine> sendLines;
    std::vector<LogLineSeen> startLines;     // "connecting to" lines: an attempt starts
    std::vector<LogLineSeen> connectedLines; // "connected" lines: logged right after a (0, 0)
    std::vector<Seq> loopErrorLines;         // level-104 loop-error lines
    std::vector<Seq> framingLines;           // level-103 lines of a receive buffer refused by the framing
    std::vector<LogLineSeen> throwsOnNetworkThread;
    std::vector<std::string> hostThreadExceptions;  // module calls that threw into a host thread
};

class Journal {
public:
    // Runs f(data, seq) under the lock with a fresh sequence number, which it
    // returns; every append goes through here.
    template <typename F>
    Seq record(F f) {
        std::lock_guard<std::mutex> guard(lock);
        const Seq seq = ++lastSeq;
        f(data, seq);
        changed.notify_all();
        return seq;
    }
    Seq stamp() {
        std::lock_guard<std::mutex> guard(lock);
        return ++lastSeq;
    }
    JournalData snapshot() {
        std::lock_guard<std::mutex> guard(lock);
        return data;
    }
    // Waits until pred(data) holds or the limit passes; pred runs under the lock.
    template <typename Duration>
    bool waitFor(const std::function<bool(const JournalData&)>& pred, Duration limit) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, limit, [&] { return pred(data); });
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    JournalData data;
    Seq lastSeq = 0;
};

}  // namespace hvr::soak
