#include "python/src/HostListener.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

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
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        connected = kind == 0 && code == 0;
        loggedIn = false;
        if (connected) relogin = credentials;
        // Cancels unanswered when a connection ends are never answered.
        if (kind != 0) cancels.clear();
    }
    // The login goes out before the host hears of the connection, so nothing
    // the host sends on the event can overtake it.
    kra::ITraderApi* api = trader.load();
    if (relogin && api != nullptr)
        api->login(relogin->user.c_str(), relogin->password.c_str(), relogin->resource.c_str());
    deliver(ConnectionEvent{kind, code});
}

void HostListener::onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) {
    CallbackScope scope;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        loggedIn = succeeded;
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
    deliver(PositionsEvent{copyArray<PositionRecord, kra::NXSPositionItem>(positions, copyPosition)});
}

void HostListener::onOrdersAnswer(kra::NXSArray* orders) {
    CallbackScope scope;
    deliver(OrdersEvent{copyArray<OrderRecord, kra::NXSOrderInfo>(orders, copyOrder)});
}

void HostListener::onTradesAnswer(kra::NXSArray* trades) {
    CallbackScope scope;
    deliver(TradesEvent{copyArray<TradeRecord, kra::NXSTradeInfo>(trades, copyTrade)});
}

void HostListener::onOrderPush(kra::NXSOrderInfo* order) {
    CallbackScope scope;
    if (order == nullptr) return;
    if (kra::isFinalOrderState(order->orderState)) {
        std::lock_guard<std::mutex> hold(sessionLock);
        cancels.settled(tools::gbkToUtf8(order->orderId));
    }
    deliver(OrderPushEvent{copyOrder(*order)});
}

void HostListener::onTradePush(kra::NXSTradeInfo* trade) {
    CallbackScope scope;
    if (trade != nullptr) deliver(TradePushEvent{copyTrade(*trade)});
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
