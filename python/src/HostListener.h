// The extension's ITraderListener. Each call is copied into an Event
// (EventRecords.h) before it returns, since the module releases its records
// right after; the event goes to the sink that calls Python, then to the
// queue (when queueing is on), so an event read from the queue has had its
// callback.
//
// It also keeps the host's view of the session: connected, logged in, and the
// credentials of the last login(). After every successful connect it logs in
// again with them, from the network thread, so a reconnect (a server restart,
// a dropped line) resumes the session and its push stream by itself.
//
// And the book (common/Reconciler.h): every push is applied to it, and marked
// a duplicate when the book holds it already; after every successful login
// (unless turned off) and on reconcile() the book is compared with the
// server's orders and trades answers, which then go to the book instead of
// becoming events, and the result is delivered as a ReconciledEvent. Orders
// and trades queries are registered and sent as one step under queryLock, so
// the reconciler's queues follow the wire.
//
// Threads: listener calls arrive on the module's network thread, and for log
// lines and the disconnect event on the host thread inside the module call.
// The session state is guarded by one lock that is never held while calling
// the module or the sink. The queue, sink, catalog and trader given here must
// outlive the trader's release().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <optional>
#include <string>
#include <vector>

#include "common/CancelLedger.h"
#include "common/Reconciler.h"
#include "host/ITraderApi.h"
#include "python/src/EventQueue.h"
#include "python/src/EventSink.h"

namespace hvr::python {

struct Credentials {
    std::string user;
    std::string password;
    std::string resource;
};

class HostListener final : public kra::ITraderListener {
public:
    HostListener(EventQueue& queue, EventSink& sink, kra::IContractCatalog* catalog, bool queueEvents,
                 bool reconcileAfterLogin)
        : queue(queue), sink(sink), catalog(catalog), queueEvents(queueEvents),
          reconcileAfterLogin(reconcileAfterLogin) {}
    virtual ~HostListener() = default;

    // The trader to log in through after a connect. Call before connect.
    void attach(kra::ITraderApi* api) { trader.store(api); }

    // Stores the credentials for every later connect. True when the trader is
    // connected now, so the caller sends the login itself; false when the next
    // connect event will send it.
    bool rememberLogin(Credentials credentials);
    // No more logins after reconnects (the host disconnected on purpose).
    void forgetLogin();
    // Cancels the host sends, so that a refusal names its order: noteCancel
    // before the call, withdrawCancel when the module refused to send it.
    void noteCancel(const std::string& orderId);
    void withdrawCancel();
    bool isConnected() const;
    bool isLoggedIn() const;

    // Starts a reconciliation through the trader (sends its two queries) and
    // returns its id; its result is kept for waitReconciled. Host thread.
    uint64_t reconcile(kra::ITraderApi& api);
    // Waits up to `wait` for the result of reconciliation id; none when it
    // has not finished by then. A result is handed out once.
    std::optional<tools::ReconcileResult> waitReconciled(uint64_t id, std::chrono::milliseconds wait);
    // Sends an orders or trades query of the host's own (answered as an event).
    int query(kra::ITraderApi& api, tools::Reconciler::Answer answer);
    BookSnapshot book() const;

    // True while this thread is inside a listener call of any trader of this
    // extension. Such a thread must not release a trader.
    static bool insideCallback();

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
    // Stamps the time of arrival and hands the event on.
    void deliver(EventPayload payload);
    // Delivers finished reconciliations, keeping those a caller waits for.
    void deliverReconciled(std::vector<tools::ReconcileResult> results);
    // Registers a reconciliation under the lock (with change(), when given,
    // in the same step) and sends its queries. REQUIRES: not under sessionLock.
    std::optional<uint64_t> startReconcile(kra::ITraderApi& api, bool afterLogin, bool keep,
                                           const std::function<bool()>& change);

    EventQueue& queue;
    EventSink& sink;
    kra::IContractCatalog* const catalog;
    const bool queueEvents;
    const bool reconcileAfterLogin;
    std::atomic<kra::ITraderApi*> trader{nullptr};

    std::mutex queryLock;  // taken before sessionLock; see the class comment

    mutable std::mutex sessionLock;
    bool connected = false;                  // guarded by sessionLock
    bool loggedIn = false;                   // guarded by sessionLock
    std::optional<Credentials> credentials;  // guarded by sessionLock
    tools::CancelLedger cancels;             // guarded by sessionLock
    tools::Reconciler reconciler;            // guarded by sessionLock
    std::set<uint64_t> awaitedResults;       // guarded by sessionLock: ids reconcile() waits for
    std::map<uint64_t, tools::ReconcileResult> keptResults;  // guarded by sessionLock
    std::condition_variable reconciled;      // signalled when a kept result arrives
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

}  // namespace hvr::python
