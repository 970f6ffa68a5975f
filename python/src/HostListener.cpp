#include "python/src/HostListener.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "common/BookRecords.h"
#include "common/GbkText.h"
#include "common/LogFormat.h"
#include "python/src/RecordCopy.h"

namespace hvr::python {

namespace {

thread_local int callbackDepth = 0;
thread_local ErrorLogCapture* activeCapture = nullptr;

// Marks the current thread as inside a listener call for one scope.
class CallbackScope {
public:
    CallbackScope() { ++callbackDepth; }
    ~CallbackScope() { --callbackDepth; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
};

}  // namespace

bool HostListener::rememberLogin(Credentials given) {
    std::lock_guard<std::mutex> hold(sessionLock);
    credentials = std::move(given);
    return connected;
}

void HostListener::noteCancel(const std::string& orderId) {
    std::lock_guard<std::mutex> hold(sessionLock);
    cancels.sent(orderId);
}

void HostListener::withdrawCancel() {
    std::lock_guard<std::mutex> hold(sessionLock);
    cancels.withdrawLast();
}

void HostListener::forgetLogin() {
    std::lock_guard<std::mutex> hold(sessionLock);
    credentials.reset();
}

bool HostListener::isConnected() const {
    std::lock_guard<std::mutex> hold(sessionLock);
    return connected;
}

bool HostListener::isLoggedIn() const {
    std::lock_guard<std::mutex> hold(sessionLock);
    return loggedIn;
}

bool HostListener::insideCallback() { return callbackDepth > 0; }

std::optional<uint64_t> HostListener::startReconcile(kra::ITraderApi& api, bool afterLogin, bool keep,
                                                     const std::function<bool()>& change) {
    std::lock_guard<std::mutex> sending(queryLock);
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        if (change && !change()) return std::nullopt;
        id = reconciler.start(afterLogin, std::chrono::steady_clock::now());
        if (keep) awaitedResults.insert(id);
    }
    api.queryOrders();
    api.queryTrades();
    return id;
}

uint64_t HostListener::reconcile(kra::ITraderApi& api) { return *startReconcile(api, false, true, {}); }

std::optional<tools::ReconcileResult> HostListener::waitReconciled(uint64_t id, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(sessionLock);
    reconciled.wait_for(hold, wait, [&] { return keptResults.count(id) != 0; });
    auto it = keptResults.find(id);
    if (it == keptResults.end()) return std::nullopt;
    tools::ReconcileResult result = std::move(it->second);
    keptResults.erase(it);
    return result;
}

int HostListener::query(kra::ITraderApi& api, tools::Reconciler::Answer answer) {
    std::lock_guard<std::mutex> sending(queryLock);
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        reconciler.hostQuery(answer);
    }
    return answer == tools::Reconciler::Answer::Orders ? api.queryOrders() : api.queryTrades();
}

BookSnapshot HostListener::book() const {
    std::lock_guard<std::mutex> hold(sessionLock);
    const tools::OrderBook& b = reconciler.book;
    BookSnapshot snapshot;
    snapshot.orders.reserve(b.orderCount());
    for (const tools::BookOrder* o : b.orders()) snapshot.orders.push_back(*o);
    snapshot.fills.reserve(b.fillCount());
    for (const tools::BookFill* f : b.fills()) snapshot.fills.push_back(*f);
    snapshot.positions = b.positions();
    snapshot.duplicates = b.duplicates();
    snapshot.tradingDate = b.tradingDate();
    return snapshot;
}

void HostListener::deliverReconciled(std::vector<tools::ReconcileResult> results) {
    for (tools::ReconcileResult& result : results) {
        {
            std::lock_guard<std::mutex> hold(sessionLock);
            if (awaitedResults.erase(result.id) != 0) keptResults[result.id] = result;
        }
        reconciled.notify_all();
        deliver(ReconciledEvent{std::move(result)});
    }
}

void HostListener::deliver(EventPayload payload) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    Event event{std::move(payload), std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()};
    // Callbacks first: a reader that takes an event from the queue knows its
    // callback has returned.
    sink.deliver(event);
    if (queueEvents) queue.push(std::move(event));
}

void HostListener::onTraderEvent(int kind, int code) {
    CallbackScope scope;
    std::optional<Credentials> relogin;
    std::vector<tools::ReconcileResult> interrupted;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        connected = kind == 0 && code == 0;
        loggedIn = false;
        if (connected) {
            relogin = credentials;
            reconciler.connected();
        }
        // Cancels and queries unanswered when a connection ends are never
        // answered.
        if (kind != 0) {
            cancels.clear();
            interrupted = reconciler.connectionEnded(std::chrono::steady_clock::now());
        }
    }
    deliverReconciled(std::move(interrupted));
    // The login goes out before the host hears of the connection, so nothing
    // the host sends on the event can overtake it.
    kra::ITraderApi* api = trader.load();
    if (relogin && api != nullptr)
        api->login(relogin->user.c_str(), relogin->password.c_str(), relogin->resource.c_str());
    deliver(ConnectionEvent{kind, code});
}

void HostListener::onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) {
    CallbackScope scope;
    auto noteLogin = [&] {
        loggedIn = succeeded;
        if (succeeded) reconciler.loggedIn(tradingDate);
        return succeeded && reconcileAfterLogin;
    };
    kra::ITraderApi* api = trader.load();
    if (api != nullptr) {
        // The login's reconciliation is registered in the same step.
        startReconcile(*api, true, false, noteLogin);
    } else {
        std::lock_guard<std::mutex> hold(sessionLock);
        noteLogin();
    }
    deliver(LoginEvent{succeeded, tools::gbkToUtf8(message != nullptr ? message : ""), tradingDate});
}

void HostListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    CallbackScope scope;
    EntrustAnswerEvent event;
    if (entrust != nullptr) event.entrust = copyEntrust(*entrust);
    if (error != nullptr) {
        event.refused = true;
        event.errorCode = error->code;
        event.errorText = tools::gbkToUtf8(error->message);
    }
    deliver(std::move(event));
}

void HostListener::onAccountAnswer(kra::NXSArray* accounts) {
    CallbackScope scope;
    deliver(AccountsEvent{copyArray<AccountRecord, kra::NXSAccountInfo>(accounts, copyAccount)});
}

void HostListener::onPositionsAnswer(kra::NXSArray* positions) {
    CallbackScope scope;
    if (positions != nullptr) {
        std::lock_guard<std::mutex> hold(sessionLock);
        reconciler.book.setServerPositions(tools::serverPositions(*positions));
    }
    deliver(PositionsEvent{copyArray<PositionRecord, kra::NXSPositionItem>(positions, copyPosition)});
}

void HostListener::onOrdersAnswer(kra::NXSArray* orders) {
    CallbackScope scope;
    {
        // A reconciliation's answer goes to the book, not to the host.
        std::lock_guard<std::mutex> hold(sessionLock);
        if (const std::optional<uint64_t> id = reconciler.route(tools::Reconciler::Answer::Orders)) {
            if (orders != nullptr) reconciler.takeOrders(*id, tools::bookOrders(*orders));
            return;
        }
    }
    deliver(OrdersEvent{copyArray<OrderRecord, kra::NXSOrderInfo>(orders, copyOrder)});
}

void HostListener::onTradesAnswer(kra::NXSArray* trades) {
    CallbackScope scope;
    std::optional<tools::ReconcileResult> result;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        if (const std::optional<uint64_t> id = reconciler.route(tools::Reconciler::Answer::Trades)) {
            std::vector<tools::BookFill> fills;
            if (trades != nullptr) fills = tools::bookFills(*trades);
            result = reconciler.takeFills(*id, std::move(fills), std::chrono::steady_clock::now());
            if (!result) return;
        }
    }
    if (result) {
        std::vector<tools::ReconcileResult> finished;
        finished.push_back(std::move(*result));
        deliverReconciled(std::move(finished));
        return;
    }
    deliver(TradesEvent{copyArray<TradeRecord, kra::NXSTradeInfo>(trades, copyTrade)});
}

void HostListener::onOrderPush(kra::NXSOrderInfo* order) {
    CallbackScope scope;
    if (order == nullptr) return;
    bool duplicate = false;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        if (kra::isFinalOrderState(order->orderState)) cancels.settled(tools::gbkToUtf8(order->orderId));
        duplicate = reconciler.book.applyOrder(tools::bookOrder(*order, tools::OrderSource::Push)) ==
                    tools::Applied::Duplicate;
    }
    deliver(OrderPushEvent{copyOrder(*order), duplicate});
}

void HostListener::onTradePush(kra::NXSTradeInfo* trade) {
    CallbackScope scope;
    if (trade == nullptr) return;
    bool duplicate = false;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        duplicate = reconciler.book.applyFill(tools::bookFill(*trade)) == tools::Applied::Duplicate;
    }
    deliver(TradePushEvent{copyTrade(*trade), duplicate});
}

void HostListener::onTraderError(kra::NXSError* error) {
    CallbackScope scope;
    if (error == nullptr) return;
    std::string orderId;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        orderId = cancels.refused();
    }
    deliver(CancelRefusedEvent{error->code, tools::gbkToUtf8(error->message), std::move(orderId)});
}

void HostListener::logMessage(int level, const char* format, ...) {
    if (format == nullptr) return;
    CallbackScope scope;
    va_list args;
    va_start(args, format);
    const std::string text = tools::gbkToUtf8(tools::formatLogLine(format, args));
    va_end(args);
    ErrorLogCapture::note(level, text);
    if (level == kra::LOG_LEVEL_WARN) {
        // A warning at a login (a new trading day, say) goes with the
        // reconciliation that follows it.
        std::lock_guard<std::mutex> hold(sessionLock);
        reconciler.noteWarning(text);
    }
    deliver(LogEvent{level, text});
}

ErrorLogCapture::ErrorLogCapture() : previous(activeCapture) { activeCapture = this; }

ErrorLogCapture::~ErrorLogCapture() { activeCapture = previous; }

std::string ErrorLogCapture::text() const {
    std::string joined;
    for (const std::string& line : lines) joined += (joined.empty() ? "" : "; ") + line;
    return joined;
}

void ErrorLogCapture::note(int level, const std::string& line) {
    if (activeCapture != nullptr && level >= kra::LOG_LEVEL_ERROR) activeCapture->lines.push_back(line);
}

}  // namespace hvr::python
