// The rules of a host's session with one trader, as plain data: who is logged
// in and with which credentials, which login to send after a connect, a book
// per user (and per trading date), the reconciliations and whose each answer
// is, the requests awaiting answers, the orders and cancels in doubt and their
// resolution, and the counts a host shows. SessionCore.h drives it from the
// listener calls and the host's calls under one lock; everything here is
// testable without a module, a socket or a thread.
//
// Logins
//   proven     the credentials of the last successful login. Only these are
//              sent by the core itself, after every connect, while `automatic`
//              holds; a refusal of them turns `automatic` off for good (a
//              locked or changed account is never tried again by itself).
//   wanted     credentials the host gave that have not been answered yet: sent
//              once at the next connect (or at once when connected), then
//              forgotten whatever the answer. Never retried after a refusal.
//   A login of another user while one is logged in logs that user out first
//   (a user switch). A refused switch, or a refused new password of the same
//   user, logs the previous user in again with the proven credentials; the
//   refusal says who, or that nobody will be logged in.
//
// Books
//   One per user: pushes go to the book of the user logged in last, answers
//   to the book of the user who asked (QueryRouter), so differences are only
//   ever between one user's book and that user's server view. `last` (the
//   last accepted order) and the cancels are kept per user too.
//
// Requests awaiting answers
//   Inserts by tag (an answer carries it), cancels (a refusal answers the
//   oldest; a push that finishes the order settles it), the host's queries
//   (QueryRouter) and reconciliations. When the connection ends the inserts
//   and cancels become doubts of their user (Doubt.h), the queries are lost;
//   the next reconciliation of that user resolves the doubts. Inserts still
//   unanswered at a login that were sent before it (on an earlier
//   connection) become doubts then.
//
// A login's catch-up
//   A server answers a login and then sends, at once, the pushes the login
//   resumed from (push mode 2 or no flow file: the whole day). Pushes that
//   arrive after a successful login's answer and before the answer to the
//   first request sent after it are marked replayed. The core always sends
//   one such request at once: the reconciliation's orders query, or, when
//   no reconciliation follows the login, a funds query that is nobody's
//   (its answer is shown to no one).
//
// A new trading day
//   The module warns (level 103) when a login's trading date differs from
//   its flow record's and a server that numbers each day's pushes from 1 may
//   have skipped some. Such a login is always reconciled (also with
//   reconciliation turned off), and after that reconciliation one
//   NewDayCheckedEvent says what, if anything, the pushes missed.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/BookRecords.h"
#include "common/Doubt.h"
#include "common/QueryRouter.h"
#include "common/Reconciler.h"
#include "common/SessionEvents.h"
#include "common/SessionRecords.h"

namespace hvr::tools {

struct Credentials {
    std::string user;
    std::string password;
    std::string resource;
    bool operator==(const Credentials& other) const {
        return user == other.user && password == other.password && resource == other.resource;
    }
};

struct SessionCounts {
    uint64_t connects = 0;          // successful connect events
    uint64_t connectFailures = 0;
    int lastConnectError = 0;
    uint64_t connectionsEnded = 0;
    uint64_t loginResults = 0;      // answers to logins, accepted or refused
    uint64_t logins = 0;            // successful ones
    uint64_t loginRefusals = 0;
    uint64_t acceptedOrders = 0;
    uint64_t refusedOrders = 0;
    uint64_t unmatchedAnswers = 0;  // order answers carrying a tag no insert waited for
    uint64_t orderPushes = 0;
    uint64_t tradePushes = 0;
    uint64_t duplicatePushes = 0;
    uint64_t reconciliations = 0;   // completed
    uint64_t differences = 0;       // reported by them
    uint64_t doubtsResolved = 0;
    uint64_t pushes() const { return orderPushes + tradePushes; }
};

// What the caller must do on the trader after a change, outside the lock,
// then deliver `events` in order.
struct SessionStep {
    struct Login {
        Credentials credentials;
        bool logoutFirst = false;
    };
    std::optional<Login> login;
    std::optional<uint64_t> reconcile;  // registered: send its orders query, then its trades query
    bool catchUpMarker = false;         // registered: send a funds query (see "A login's catch-up")
    std::vector<SessionEvent> events;
};

// The host's login call, decided.
struct LoginDecision {
    enum Kind { Send, AtConnect, AlreadyLoggedIn } kind = Send;
    SessionStep step;  // for Send: the login (and a logout first for a switch)
};

// Where logins stand, for a host waiting to trade.
enum class LoginStatus {
    LoggedIn,
    Expected,  // a login is on its way or will be sent at the next connect
    Refused,   // the last login was refused and none will follow by itself
    None,      // no credentials: nobody will log in until the host does
};

// What a host closing the session had not had answered.
struct Unanswered {
    std::vector<std::string> orderTags;
    std::vector<std::string> cancelOrderIds;
    std::vector<QueryKind> queries;
    std::size_t reconciliations = 0;
    std::vector<Doubt> doubts;  // in doubt since an earlier connection, unresolved
    bool empty() const {
        return orderTags.empty() && cancelOrderIds.empty() && queries.empty() && reconciliations == 0 &&
               doubts.empty();
    }
    std::size_t requests() const { return orderTags.size() + cancelOrderIds.size() + queries.size() + reconciliations; }
};

// True for the module's warning that a login started a new trading day
// ("[TraderHVR]交易日已变更:..."), taken as UTF-8.
bool isNewTradingDayWarning(const std::string& utf8LogText);

// The instrument code of the module's warning that a position was left out
// because the host's catalog does not know its instrument; none for any other
// log line. Takes the line as UTF-8.
std::optional<std::string> leftOutPositionCode(const std::string& utf8LogText);

// "3 requests unanswered: orders 20261208.1.000004, 20261208.1.000005; cancel
// of order 7; 1 query (funds)", then the doubts; empty when nothing.
std::string describeUnanswered(const Unanswered& unanswered);

class SessionState {
public:
    explicit SessionState(bool reconcileAfterLogin = true) : reconcileAfterLogin(reconcileAfterLogin) {}

    // --- the host's calls -------------------------------------------------
    LoginDecision login(Credentials credentials);
    // No more logins by the core (the host logged out or disconnected).
    void forgetLogin();
    // A logout was sent: nobody is logged in now.
    void loggedOut();

    // An insert with this tag is about to be sent as the current user.
    void insertSent(const std::string& tag, const EntrustRecord& order);
    // It was not sent after all (the module refused it locally).
    void insertWithdrawn(const std::string& tag);
    void cancelSent(const std::string& orderId);
    void cancelWithdrawn();
    // A query of the host's own, registered before it is sent.
    void querySent(QueryKind kind);
    void queryWithdrawn(QueryKind kind);
    // Registers a reconciliation of the current user's book; the caller then
    // sends its orders query and its trades query. Returns its id.
    uint64_t startReconcile(bool afterLogin, SteadyTime now);
    // The result of this reconciliation is kept for takeResult.
    void keepResult(uint64_t id) { awaitedResults.insert(id); }
    std::optional<ReconcileResult> takeResult(uint64_t id);
    // From now on a connection that ends reports no doubts (the host reports
    // what is unanswered at its close itself).
    void closing() { isClosing = true; }

    // --- the listener's calls -----------------------------------------------
    SessionStep connectionEvent(int kind, int code, SteadyTime now);
    SessionStep loginResult(bool succeeded, const std::string& message, uint32_t tradingDate, SteadyTime now);
    SessionStep entrustAnswer(EntrustRecord entrust, bool refused, int32_t code, std::string text);
    SessionStep cancelRefused(int32_t code, std::string text);
    SessionStep accountsAnswer(std::vector<AccountRecord> accounts);
    SessionStep positionsAnswer(std::vector<PositionRecord> positions);
    SessionStep ordersAnswer(std::vector<OrderRecord> orders);
    SessionStep tradesAnswer(std::vector<TradeRecord> trades, SteadyTime now);
    SessionStep orderPush(OrderRecord order);
    SessionStep tradePush(TradeRecord trade);
    SessionStep logLine(int level, std::string text);

    // --- what a host reads --------------------------------------------------
    bool connected() const { return isConnected; }
    bool loggedIn() const { return isLoggedIn; }
    // The user of the last successful login (the book shown), empty before.
    const std::string& user() const { return sessionUser; }
    LoginStatus loginStatus() const;
    // The last refused login: whose, the server's words and what followed.
    const std::optional<LoginRefusedEvent>& lastRefusal() const { return refusal; }
    // A connect attempt failed or a login was refused, and no login
    // succeeded since: the session is down unless something changes.
    bool failing() const { return isFailing; }
    // Credentials the core would log in with, if any (proven or wanted).
    std::optional<Credentials> knownCredentials() const;

    bool answersAwaited() const;
    Unanswered unanswered() const;
    std::vector<Doubt> doubts() const;
    // Inserts sent and not answered yet (any user).
    std::size_t insertsAwaited() const;

    const OrderBook& book() const { return desk(sessionUser).reconciler.book; }
    // The current user's last accepted order; empty when none.
    std::string lastOrderId() const { return desk(sessionUser).lastOrderId; }
    bool reconciling() const;
    // True once reconciliation id has finished, completed or interrupted.
    bool reconcileFinished(uint64_t id) const { return id <= lastReconcile && !pendingReconciles.count(id); }
    bool reconcileInterrupted(uint64_t id) const { return interruptedReconciles.count(id) != 0; }
    const SessionCounts& counts() const { return tally; }
    // The latest state an order push reported for the order, if any, and
    // whether it ever reported this state.
    std::optional<char> latestState(const std::string& orderId) const;
    bool hasSeenState(const std::string& orderId, char state) const;

private:
    struct SentOrder {
        std::string user;
        EntrustRecord order;
        uint64_t connection = 0;
    };
    struct SentCancel {
        std::string user;
        std::string orderId;
        uint64_t connection = 0;
    };
    struct SentLogin {
        Credentials credentials;
        bool automatic = false;
        std::optional<Credentials> restore;  // logged in before: log in again when refused
    };
    // What the session keeps for each user.
    struct Desk {
        Reconciler reconciler;
        std::string lastOrderId;
        std::vector<Doubt> doubts;
        std::string newDayWarning;  // the module warned at this user's login; answered after its reconciliation
    };

    Desk& desk(const std::string& user) { return desks[user]; }
    const Desk& desk(const std::string& user) const;
    // Registers the catch-up marker (a funds query nobody asked for).
    void sendCatchUpMarker(SessionStep& step);
    SessionStep::Login sendLogin(const Credentials& credentials, bool automatic, bool logoutFirst,
                                 std::optional<Credentials> restore);
    // Inserts and cancels unanswered on connection `upTo` or before become
    // doubts; returns them.
    std::vector<Doubt> cutOff(uint64_t upTo);
    void finishReconcile(const std::string& user, ReconcileResult result, SessionStep& step);
    void resolveDoubts(const std::string& user, SessionStep& step);

    const bool reconcileAfterLogin;
    bool isClosing = false;

    // Connection and login.
    bool isConnected = false;
    bool isLoggedIn = false;
    uint64_t connection = 0;  // the number of the current (or last) connection
    std::string sessionUser;
    std::optional<Credentials> proven;
    bool automatic = false;  // the core logs in with `proven` after a connect
    std::optional<Credentials> wanted;
    std::deque<SentLogin> sentLogins;  // answers come in this order
    std::optional<LoginRefusedEvent> refusal;
    bool isFailing = false;
    bool catchingUp = false;       // see "A login's catch-up"
    std::string newDayWarning;     // the module's new-day warning since the last connect

    // Requests awaiting answers.
    std::map<std::string, std::deque<SentOrder>> sentOrders;  // by tag
    std::deque<SentCancel> sentCancels;                       // oldest first
    QueryRouter router;
    std::set<uint64_t> pendingReconciles;
    std::map<uint64_t, std::string> reconcileUser;
    uint64_t lastReconcile = 0;
    std::set<uint64_t> interruptedReconciles;
    std::set<uint64_t> awaitedResults;
    std::map<uint64_t, ReconcileResult> keptResults;

    std::map<std::string, Desk> desks;
    std::vector<std::string> leftOutPositions;  // warned since the last positions answer
    std::map<std::string, std::string> orderStates;  // order id -> every state pushed, in order
    SessionCounts tally;
};

}  // namespace hvr::tools
