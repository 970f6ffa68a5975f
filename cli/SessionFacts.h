// What the host knows about its session: connection and login state, the
// answers it still waits for, every order state the pushes have reported,
// and the book with its reconciliations (common/Reconciler.h). Plain data with the bookkeeping rules as methods; no lock of its
// own (SessionState guards it), so the rules are tested alone.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/CancelLedger.h"
#include "common/Reconciler.h"

namespace hvr::cli {

struct Credentials {
    std::string user;
    std::string password;
    std::string resource;
};

struct SessionFacts {
    // Connection and login.
    bool connected = false;
    bool loggedIn = false;
    uint64_t connects = 0;          // successful connect events
    uint64_t connectFailures = 0;
    int lastConnectError = 0;
    uint64_t connectionsEnded = 0;
    // The end of the connection was printed and no connection (or connect
    // command) came since: the module reports (1, 0) on every disconnect and
    // again at release, and one "connection closed" is enough.
    bool closeReported = false;
    uint64_t loginResults = 0;      // answers to logins, accepted or refused
    uint64_t loginRefusals = 0;
    uint64_t logins = 0;            // successful ones
    std::string loginMessage;       // UTF-8 text of the last refusal
    uint32_t tradingDate = 0;
    // Set by a connect or login failure, cleared by a successful login: the
    // session has failed unless it recovered.
    bool sessionFailed = false;
    // Known credentials: every connect event logs in with them.
    std::optional<Credentials> credentials;

    // Answers still outstanding.
    std::map<std::string, int> pendingInserts;  // by user tag
    int pendingQueries = 0;
    tools::CancelLedger pendingCancels;         // cancels sent and not yet settled

    // Outcomes.
    uint64_t acceptedOrders = 0;
    uint64_t refusedOrders = 0;
    uint64_t unmatchedAnswers = 0;              // answers carrying a tag no insert sent
    std::string lastOrderId;                    // the last order the server accepted
    uint64_t orderPushes = 0;
    uint64_t tradePushes = 0;
    uint64_t duplicatePushes = 0;
    std::map<std::string, std::string> orderStates;  // order id -> every state seen, in order

    void noteInsertSent(const std::string& tag);
    // False when no insert with this tag is outstanding (the answer is then
    // counted as unmatched).
    bool noteInsertAnswered(const std::string& tag, bool accepted, const std::string& orderId);
    void noteCancelSent(const std::string& orderId);
    // A refused cancel carries no order id: the oldest outstanding cancel is
    // the one refused, since the server answers in order. Returns its order
    // id (empty when no cancel was outstanding).
    std::string noteCancelRefused();
    // Records an order push and applies it to the book; false when the book
    // holds it as a duplicate (the same update again, or one that would move
    // the order back). A push that finishes an order also settles a cancel
    // outstanding for it.
    bool noteOrderPush(const tools::BookOrder& order);
    // Records a fill and applies it to the book; false when its trade id is
    // known already.
    bool noteTradePush(const tools::BookFill& fill);

    bool answersOutstanding() const;
    // The latest state an order push reported for the order, if any.
    std::optional<char> latestState(const std::string& orderId) const;
    bool hasSeenState(const std::string& orderId, char state) const;

    uint64_t pushes() const { return orderPushes + tradePushes; }

    // The book, and the queries and results of its reconciliations.
    tools::Reconciler reconciler;
    bool reconcileAfterLogin = true;  // --reconcile
};

// Order states after which nothing more happens to an order.
bool isFinalOrderState(char state);

}  // namespace hvr::cli
