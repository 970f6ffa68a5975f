// What the session core reports to its host, one value per listener call or
// decision, in the order they happened. Each host presents them its own way
// (hvr-host prints lines or JSON, the Python package makes typed events).
//
// Pure data.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "common/Doubt.h"
#include "common/QueryRouter.h"
#include "common/Reconciler.h"
#include "common/SessionRecords.h"

namespace hvr::tools {

// onTraderEvent as it came: kind 0 after a connect attempt (code 0:
// connected), kind 1 when the connection ended.
struct ConnectionEvent {
    int kind = 0;
    int code = 0;
};

// The core sent a login: by itself after a connect (automatic), or the
// host's; previousUser is set when it logged that user out first.
struct LoginSentEvent {
    std::string user;
    bool automatic = false;
    std::string previousUser;
};

struct LoginEvent {
    bool succeeded = false;
    std::string message;  // the server's text of a refusal
    uint32_t tradingDate = 0;
    std::string user;
};

// A refused login and what follows from it: these credentials are never
// sent again by the core. restoringUser: the user logged in before, whose
// credentials worked, is being logged in again; empty when nobody will be
// logged in.
struct LoginRefusedEvent {
    std::string user;
    std::string message;
    bool automatic = false;  // it was a login after a reconnect
    std::string restoringUser;
};

struct EntrustAnswerEvent {
    EntrustRecord entrust;
    bool refused = false;
    int32_t errorCode = 0;
    std::string errorText;
    bool expected = true;  // its tag belongs to an order this host sent and waited for
};

// A refused cancel, with the order it was for (empty when no cancel was
// outstanding).
struct CancelRefusedEvent {
    int32_t code = 0;
    std::string message;
    std::string orderId;
};

struct AccountsEvent {
    std::vector<AccountRecord> accounts;
};

struct PositionsEvent {
    std::vector<PositionRecord> positions;
    std::vector<std::string> leftOut;  // instruments the module left out (not in the host's catalog)
};

struct OrdersEvent {
    std::vector<OrderRecord> orders;
};

struct TradesEvent {
    std::vector<TradeRecord> trades;
};

// A push, whether the book held it as a duplicate (OrderBook.h), and
// whether it came with a login's catch-up (replayed): the server sent it
// after the login's answer and before its answer to the first request made
// after that login, so it tells of something that happened before the login
// (with push mode 2 or no flow file, the whole day again). Pushes of what
// happens after the login come later and are not marked.
struct OrderPushEvent {
    OrderRecord order;
    bool duplicate = false;
    bool replayed = false;
};

struct TradePushEvent {
    TradeRecord trade;
    bool duplicate = false;
    bool replayed = false;
};

struct ReconciledEvent {
    ReconcileResult result;
    std::string user;  // whose book
};

// The answer to the module's warning that a login started a new trading day
// and a server numbering each day's pushes from 1 may have skipped the first
// ones: the reconciliation after that login, read for what the pushes
// missed. Reported once per such warning, right after that reconciliation.
struct NewDayCheckedEvent {
    std::string user;
    uint32_t tradingDate = 0;
    std::size_t missingOrders = 0;     // orders the server has that no push brought
    std::size_t missingFills = 0;
    std::size_t otherDifferences = 0;  // differences of another kind (listed with the reconciliation)
    std::string warning;               // the module's line, UTF-8
    bool nothingMissing() const { return missingOrders == 0 && missingFills == 0 && otherDifferences == 0; }
};

// "new trading day 20261209: nothing missing", or what the pushes missed.
std::string describeNewDayCheck(const NewDayCheckedEvent& check);

// The connection ended with requests unanswered: the orders and cancels are
// in doubt until the next login; the queries will never be answered.
struct InDoubtEvent {
    std::vector<Doubt> doubts;
    std::vector<QueryKind> lostQueries;
};

struct DoubtResolvedEvent {
    DoubtResolution resolution;
};

struct LogEvent {
    int level = 0;
    std::string text;  // UTF-8
};

using SessionEvent =
    std::variant<ConnectionEvent, LoginSentEvent, LoginEvent, LoginRefusedEvent, EntrustAnswerEvent,
                 CancelRefusedEvent, AccountsEvent, PositionsEvent, OrdersEvent, TradesEvent, OrderPushEvent,
                 TradePushEvent, ReconciledEvent, NewDayCheckedEvent, InDoubtEvent, DoubtResolvedEvent, LogEvent>;

// Where the core hands its events. Called on the thread of the listener call
// that caused the event (usually the module's network thread), in order, with
// no lock of the core held; it may call the core back (trade, query), but
// must not wait on it. `received` is when the listener call arrived.
class SessionObserver {
public:
    virtual void onSessionEvent(const SessionEvent& event, std::chrono::system_clock::time_point received) = 0;

protected:
    ~SessionObserver() = default;
};

}  // namespace hvr::tools
