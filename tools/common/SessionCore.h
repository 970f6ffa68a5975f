// SessionCore: a host's session with one trader of the module, the one piece
// hvr-host and the Python package both run on. It is the trader's listener:
// it copies every record the module hands it, keeps the session's state
// (SessionState.h: logins, a book per user and trading date, reconciliations
// and whose each answer is, requests awaiting answers, requests in doubt and
// their resolution), talks back to the trader where the session needs it
// (a login after every connect, the queries of a reconciliation), and hands
// each host a stream of SessionEvents to present. The hosts only present
// events and turn their commands into the calls below.
//
// Who owns what
//   The host owns the core, the trader, the observer and the catalog; the
//   core holds pointers to the last three and must outlive the trader's
//   release() (the module calls the listener until then). The core owns its
//   SessionState, guarded by `lock`, and nothing else.
//   Listener calls arrive on the module's network thread (and, for log lines
//   and the disconnect event, on a host thread inside a module call). Each
//   changes the state under `lock`, then, with no lock of the core held,
//   carries out what the state asked for on the trader (logout and login,
//   the two queries of a reconciliation, the funds query that ends a login's
//   catch-up when no reconciliation follows it) and hands the events to the
//   observer, in order.
//   Host threads call the operations below, several at once; none of them
//   waits for the network except the wait* calls, which must not be called
//   inside a listener call (they throw std::logic_error there: the answer
//   they would wait for arrives on that very thread).
//
// Session states (SessionState, under `lock`)
//   State          Entered by                          Left by
//   disconnected   construction; the end of a          a connect event
//                  connection
//   connected      a connect event; a refused login    an accepted login; the end of
//                  or a logout                         the connection
//   logged in      an accepted login                   the end of the connection; a
//                                                      logout; a login of another user
//   On a connect event the core logs in by itself when it has credentials:
//   those the host gave and nobody answered yet, else those that worked last
//   (never those the server refused). An accepted login moves that user's
//   book to the login's trading date and starts its reconciliation (unless
//   turned off, and always while requests of that user are in doubt); its
//   completion resolves them. A refused login is not sent again; when a
//   user whose credentials worked was logged in before, that user is logged
//   in again. The end of a connection makes the inserts and cancels awaiting
//   answers doubts of their user, interrupts the reconciliations on their
//   way and loses the queries.
//
// Waiting
//   A change becomes visible to the wait* calls only once the events it
//   caused have been handed to the observer: a host that waits for a login
//   has printed (or queued) the login's event before its wait returns.
//
// Locks
//   Order: querySending, then lock. querySending is held from registering a
//   query with the router to sending it, so that the router's queues follow
//   the wire; lock is never held while calling the trader or the observer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/SessionEvents.h"
#include "common/SessionState.h"
#include "host/ITraderApi.h"

namespace hvr::tools {

// An order as a host enters it: codes are the module's character values; an
// empty userTag is made by the trader's makeEntrustId; entrustId is not sent.
using OrderTicket = EntrustRecord;

// What became of a request a host asked the core to send.
struct SendResult {
    enum Status {
        Sent,
        NotLoggedIn,  // nothing sent: no login holds
        Refused,      // the module refused it locally (rc -1); `why` holds its error lines
        Detached,     // no trader attached
    } status = Sent;
    int rc = 0;        // the module's result
    std::string tag;   // an insert's tag
    std::string why;   // the module's error lines logged during the call
};

// A copy of the current user's book.
struct BookSnapshot {
    std::vector<BookOrder> orders;
    std::vector<BookFill> fills;
    std::vector<BookPosition> positions;
    uint64_t duplicates = 0;
    uint32_t tradingDate = 0;
};

class SessionCore final : public kra::ITraderListener {
public:
    // reconcileAfterLogin: compare the book with the server after every login.
    SessionCore(SessionObserver& observer, kra::IContractCatalog* catalog, bool reconcileAfterLogin)
        : observer(observer), catalog(catalog), state(reconcileAfterLogin) {}
    virtual ~SessionCore() = default;
    SessionCore(const SessionCore&) = delete;
    SessionCore& operator=(const SessionCore&) = delete;

    // The trader the core calls back (logins, queries). Before connect; null
    // once the trader is released.
    void attach(kra::ITraderApi* api) { trader.store(api); }

    // --- the host's operations (host threads) ---------------------------------
    // Logs in now when connected (logging the user out first who is logged in
    // now, for another user), else at the next connect. These credentials are
    // sent once; after they worked, again after every reconnect.
    LoginDecision::Kind login(const Credentials& credentials);
    // Sends a logout; no login follows by itself.
    void logout();
    // No more logins by the core (the host disconnects on purpose).
    void forgetLogin();
    SendResult insert(const OrderTicket& ticket);
    SendResult cancel(const std::string& orderId);
    SendResult query(QueryKind kind);
    // Starts a reconciliation of the current user's book; none when nobody is
    // logged in. keep: its result is kept for takeResult.
    std::optional<uint64_t> reconcile(bool keep);
    std::optional<ReconcileResult> takeResult(uint64_t id);

    // --- reading and waiting (host threads) -----------------------------------
    template <typename Read>
    auto read(Read reader) const {
        std::lock_guard<std::mutex> hold(lock);
        return reader(static_cast<const SessionState&>(state));
    }
    // Waits until done(state) holds; false when the timeout passed or the
    // core was interrupted first. Throws std::logic_error inside a listener
    // call.
    template <typename Done>
    bool waitUntil(Done done, std::chrono::milliseconds timeout) const {
        refuseInsideCallback("waiting for the session");
        std::unique_lock<std::mutex> hold(lock);
        auto ready = [&] { return inFlight == 0 && done(static_cast<const SessionState&>(state)); };
        changed.wait_for(hold, timeout, [&] { return interruptedFlag || ready(); });
        return ready();
    }
    // Ends every wait, now and later (the host is stopping). Any thread.
    void interrupt();
    bool interrupted() const;
    // Where logins stand once one is there or none is coming, or Expected
    // when the timeout passed first.
    LoginStatus waitLoggedIn(std::chrono::milliseconds timeout) const;
    // For a host about to release the trader: waits up to `bound` for the
    // answers of the requests already sent (not at all when the connection
    // is down: none can come), then returns what is still unanswered; from
    // then on the end of the connection reports no doubts (this is the report).
    Unanswered finish(std::chrono::milliseconds bound);

    BookSnapshot book() const;

    // True while this thread is inside a listener call of any core.
    static bool insideCallback();

    // --- kra::ITraderListener (the module's threads) --------------------------
    void onTraderEvent(int kind, int code) override;
    void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) override;
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) override;
    void onAccountAnswer(kra::NXSArray* accounts) override;
    void onPositionsAnswer(kra::NXSArray* positions) override;
    void onOrdersAnswer(kra::NXSArray* orders) override;
    void onTradesAnswer(kra::NXSArray* trades) override;
    void onOrderPush(kra::NXSOrderInfo* order) override;
    void onTradePush(kra::NXSTradeInfo* trade) override;
    void onTraderError(kra::NXSError* error) override;
    kra::IContractCatalog* getContractCatalog() override { return catalog; }
    void logMessage(int level, const char* format, ...) override;

private:
    // Runs change(state) under the lock, then carries out the step it
    // returns. withQueries: the step may send queries (hold querySending).
    template <typename Change>
    void handle(bool withQueries, Change change);
    // Sends what the step asks for, lets go of `querying`, delivers the
    // events, then makes the change visible to the waiters.
    void carryOut(SessionStep& step, std::unique_lock<std::mutex>& querying,
                  std::chrono::system_clock::time_point received);
    void notifyChanged();
    static void refuseInsideCallback(const char* what);

    SessionObserver& observer;
    kra::IContractCatalog* const catalog;
    std::atomic<kra::ITraderApi*> trader{nullptr};

    std::mutex querySending;  // see Locks
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    SessionState state;       // guarded by lock
    int inFlight = 0;         // guarded by lock: changes whose events are being delivered
    bool interruptedFlag = false;  // guarded by lock
};

// Collects the error lines (level 104) the module logs on this thread while
// the scope lasts, so a call the module refuses locally can say why.
class ErrorLogCapture {
public:
    ErrorLogCapture();
    ~ErrorLogCapture();
    ErrorLogCapture(const ErrorLogCapture&) = delete;
    ErrorLogCapture& operator=(const ErrorLogCapture&) = delete;

    // The captured lines, joined with "; ".
    std::string text() const;
    // Called by the listener for every log line on this thread.
    static void note(int level, const std::string& line);

private:
    std::vector<std::string> lines;
    ErrorLogCapture* previous;
};

}  // namespace hvr::tools
