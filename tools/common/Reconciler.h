// The book of one user (OrderBook) and its reconciliations with the server.
//
// A reconciliation is one orders query followed by one trades query, whose
// answers the host routes here by id (QueryRouter.h says whose each answer
// is). The orders answer is compared when it arrives, the trades answer when
// it arrives: at each of these moments every push the server sent before its
// answer has been applied, so what still differs is a real difference. A
// push that arrives after the queries left and moves the book past the
// answer is counted as raced (see OrderBook).
//
// When a connection ends, queries still on their way are never answered:
// reconciliations in flight are interrupted.
//
// Pure data and rules, no lock: the session state keeps one per user under
// its lock. Times are passed in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/OrderBook.h"

namespace hvr::tools {

using SteadyTime = std::chrono::steady_clock::time_point;

struct ReconcileResult {
    uint64_t id = 0;
    bool afterLogin = false;           // started by a successful login, not on demand
    bool interrupted = false;          // the connection ended before both answers came
    std::size_t serverOrders = 0;
    std::size_t serverFills = 0;
    std::vector<Difference> differences;
    std::size_t loadedOrders = 0;      // taken into a new book without a difference
    std::size_t loadedFills = 0;
    std::size_t raced = 0;
    uint64_t duplicates = 0;           // the book's count so far
    std::chrono::microseconds elapsed{0};  // from the queries to the last answer
    uint32_t tradingDate = 0;
    uint32_t previousTradingDate = 0;  // set when the login started a new trading day
    std::vector<std::string> warnings; // the module's warnings during that login and this reconciliation
};

class Reconciler {
public:
    // A login succeeded: the book moves to this trading date (a new date
    // starts a new day, reported by the next reconciliation).
    void loggedIn(uint32_t tradingDate);
    // A warning line of the module (level 103). Those logged from a connect
    // to the end of the reconciliation after its login go with that result.
    void noteWarning(std::string text);
    // A connection is up: warnings gathered from here on belong to its login.
    void connected();

    // Registers reconciliation `id`; the host then sends the orders query and
    // the trades query.
    void start(uint64_t id, bool afterLogin, SteadyTime now);
    // The orders answer of reconciliation id: compared with the book.
    void takeOrders(uint64_t id, std::vector<BookOrder> server);
    // Its trades answer: compared, and the reconciliation's result.
    std::optional<ReconcileResult> takeFills(uint64_t id, std::vector<BookFill> server, SteadyTime now);

    // The connection ended: the reconciliations it interrupted.
    std::vector<ReconcileResult> connectionEnded(SteadyTime now);

    // True while a reconciliation waits for its answers.
    bool busy() const { return !pending.empty(); }

    OrderBook book;

private:
    struct Pending {
        ReconcileResult result;
        uint64_t since = 0;   // the book's change count when the queries left
        bool load = false;    // the book had never been reconciled
        bool ordersTaken = false;
        SteadyTime started;
    };

    Pending* find(uint64_t id);
    ReconcileResult finish(uint64_t id, SteadyTime now, bool interrupted);

    std::deque<Pending> pending;
    bool everReconciled = false;
    uint32_t rolledFrom = 0;                 // the day the last login left, until reported
    std::vector<std::string> loginWarnings;  // since the last connect
    bool gatheringWarnings = false;
};

// The words of a difference's kind: "missing order", "order differs",
// "unknown order", "missing fill", "unknown fill".
const char* differenceKindWord(Difference::Kind kind);

// One line per difference, e.g. "order 17 IF2412 buy open 1 @ 3500: the book
// has queuing, traded 0; the server has filled, traded 1".
std::string describeDifference(const Difference& difference);

// "reconciled: 812 orders, 1,904 fills, 0 differences", then what was
// loaded or raced and the time taken, or the interruption.
std::string reconcileSummary(const ReconcileResult& result);

// "new trading day 20261209 (the book was on 20261208): ...", for a result
// after a login on a new date; empty otherwise.
std::string newDayNote(const ReconcileResult& result);

}  // namespace hvr::tools
