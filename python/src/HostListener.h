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
// Threads: listener calls arrive on the module's network thread, and for log
// lines and the disconnect event on the host thread inside the module call.
// The session state is guarded by one lock that is never held while calling
// the module or the sink. The queue, sink, catalog and trader given here must
// outlive the trader's release().
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/CancelLedger.h"
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
    HostListener(EventQueue& queue, EventSink& sink, kra::IContractCatalog* catalog, bool queueEvents)
        : queue(queue), sink(sink), catalog(catalog), queueEvents(queueEvents) {}
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

    EventQueue& queue;
    EventSink& sink;
    kra::IContractCatalog* const catalog;
    const bool queueEvents;
    std::atomic<kra::ITraderApi*> trader{nullptr};

    mutable std::mutex sessionLock;
    bool connected = false;                  // guarded by sessionLock
    bool loggedIn = false;                   // guarded by sessionLock
    std::optional<Credentials> credentials;  // guarded by sessionLock
    tools::CancelLedger cancels;             // guarded by sessionLock
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
