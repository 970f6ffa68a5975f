#include "common/SessionCore.h"

#include <cstdarg>

#include "common/GbkText.h"
#include "common/LogFormat.h"
#include "host/NXSRecords.h"

namespace hvr::tools {

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

SteadyTime steadyNow() { return std::chrono::steady_clock::now(); }

}  // namespace

bool SessionCore::insideCallback() { return callbackDepth > 0; }

void SessionCore::refuseInsideCallback(const char* what) {
    if (insideCallback())
        throw std::logic_error(std::string(what) + " is not possible inside a callback: what it waits for arrives "
                               "on the thread that runs the callback");
}

void SessionCore::notifyChanged() { changed.notify_all(); }

template <typename Change>
void SessionCore::handle(bool withQueries, Change change) {
    CallbackScope scope;
    const auto received = std::chrono::system_clock::now();
    std::unique_lock<std::mutex> querying(querySending, std::defer_lock);
    if (withQueries) querying.lock();
    SessionStep step;
    {
        std::lock_guard<std::mutex> hold(lock);
        step = change(state);
        ++inFlight;
    }
    carryOut(step, querying, received);
}

void SessionCore::carryOut(SessionStep& step, std::unique_lock<std::mutex>& querying,
                           std::chrono::system_clock::time_point received) {
    if (kra::ITraderApi* api = trader.load()) {
        if (step.login) {
            const Credentials& c = step.login->credentials;
            if (step.login->logoutFirst) api->logout();
            api->login(c.user.c_str(), c.password.c_str(), c.resource.c_str());
        }
        if (step.reconcile) {
            api->queryOrders();
            api->queryTrades();
        }
        if (step.catchUpMarker && api->queryAccount() != kra::REQUEST_QUEUED) {
            std::lock_guard<std::mutex> hold(lock);
            state.queryWithdrawn(QueryKind::Account);  // refused locally: no answer will come
        }
    }
    if (querying.owns_lock()) querying.unlock();
    struct Publish {
        SessionCore& core;
        ~Publish() {
            {
                std::lock_guard<std::mutex> hold(core.lock);
                --core.inFlight;
            }
            core.notifyChanged();
        }
    } publish{*this};
    for (const SessionEvent& event : step.events) observer.onSessionEvent(event, received);
}

LoginDecision::Kind SessionCore::login(const Credentials& credentials) {
    std::unique_lock<std::mutex> querying(querySending, std::defer_lock);
    SessionStep step;
    LoginDecision::Kind kind;
    {
        std::lock_guard<std::mutex> hold(lock);
        LoginDecision decision = state.login(credentials);
        kind = decision.kind;
        step = std::move(decision.step);
        ++inFlight;
    }
    carryOut(step, querying, std::chrono::system_clock::now());
    return kind;
}

void SessionCore::logout() {
    {
        std::lock_guard<std::mutex> hold(lock);
        state.forgetLogin();
        state.loggedOut();
    }
    notifyChanged();
    if (kra::ITraderApi* api = trader.load()) api->logout();
}

void SessionCore::forgetLogin() {
    {
        std::lock_guard<std::mutex> hold(lock);
        state.forgetLogin();
    }
    notifyChanged();
}

SendResult SessionCore::insert(const OrderTicket& ticket) {
    SendResult result;
    kra::ITraderApi* api = trader.load();
    if (api == nullptr) return SendResult{SendResult::Detached, -1, {}, {}};
    if (!read([](const SessionState& s) { return s.loggedIn(); })) return SendResult{SendResult::NotLoggedIn, -1, {}, {}};
    std::string tag = ticket.userTag;
    if (tag.empty()) {
        char id[64] = {};
        if (!api->makeEntrustId(id, sizeof id)) return SendResult{SendResult::Refused, -1, {}, "no entrust id"};
        tag = id;
    }
    kra::NXSEntrust* entrust = kra::NXSEntrust::create(ticket.code.c_str(), ticket.volume, ticket.price);
    entrust->direction = ticket.direction;
    entrust->priceType = ticket.priceType;
    entrust->timeCondition = ticket.timeCondition;
    entrust->offsetType = ticket.offsetType;
    entrust->userTag = tag;
    const EntrustRecord record = copyEntrust(*entrust);
    {
        std::lock_guard<std::mutex> hold(lock);
        state.insertSent(record.userTag, record);
    }
    ErrorLogCapture capture;
    result.rc = api->orderInsert(entrust);
    entrust->release();
    result.tag = tag;
    if (result.rc != 0) {
        {
            std::lock_guard<std::mutex> hold(lock);
            state.insertWithdrawn(record.userTag);
        }
        notifyChanged();
        result.status = SendResult::Refused;
        result.why = capture.text();
    }
    return result;
}

SendResult SessionCore::cancel(const std::string& orderId) {
    SendResult result;
    kra::ITraderApi* api = trader.load();
    if (api == nullptr) return SendResult{SendResult::Detached, -1, {}, {}};
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!state.loggedIn()) return SendResult{SendResult::NotLoggedIn, -1, {}, {}};
        // Noted before the call: the refusal may arrive before the call returns.
        state.cancelSent(orderId);
    }
    kra::NXSOrderAction* action = kra::NXSOrderAction::create();
    action->actionFlag = kra::ACTION_FLAG_CANCEL;
    action->orderId = orderId;
    ErrorLogCapture capture;
    result.rc = api->orderCancel(action);
    action->release();
    if (result.rc != 0) {
        {
            std::lock_guard<std::mutex> hold(lock);
            state.cancelWithdrawn();
        }
        notifyChanged();
        result.status = SendResult::Refused;
        result.why = capture.text();
    }
    return result;
}

SendResult SessionCore::query(QueryKind kind) {
    SendResult result;
    kra::ITraderApi* api = trader.load();
    if (api == nullptr) return SendResult{SendResult::Detached, -1, {}, {}};
    std::lock_guard<std::mutex> sending(querySending);
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!state.loggedIn()) return SendResult{SendResult::NotLoggedIn, -1, {}, {}};
        state.querySent(kind);
    }
    switch (kind) {
        case QueryKind::Account: result.rc = api->queryAccount(); break;
        case QueryKind::Positions: result.rc = api->queryPositions(); break;
        case QueryKind::Orders: result.rc = api->queryOrders(); break;
        case QueryKind::Trades: result.rc = api->queryTrades(); break;
    }
    if (result.rc != 0) {
        {
            std::lock_guard<std::mutex> hold(lock);
            state.queryWithdrawn(kind);
        }
        notifyChanged();
        result.status = SendResult::Refused;
    }
    return result;
}

std::optional<uint64_t> SessionCore::reconcile(bool keep) {
    kra::ITraderApi* api = trader.load();
    if (api == nullptr) return std::nullopt;
    std::lock_guard<std::mutex> sending(querySending);
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!state.loggedIn()) return std::nullopt;
        id = state.startReconcile(false, steadyNow());
        if (keep) state.keepResult(id);
    }
    api->queryOrders();
    api->queryTrades();
    return id;
}

std::optional<ReconcileResult> SessionCore::takeResult(uint64_t id) {
    std::lock_guard<std::mutex> hold(lock);
    return state.takeResult(id);
}

void SessionCore::interrupt() {
    {
        std::lock_guard<std::mutex> hold(lock);
        interruptedFlag = true;
    }
    notifyChanged();
}

bool SessionCore::interrupted() const {
    std::lock_guard<std::mutex> hold(lock);
    return interruptedFlag;
}

LoginStatus SessionCore::waitLoggedIn(std::chrono::milliseconds timeout) const {
    waitUntil([](const SessionState& s) { return s.loginStatus() != LoginStatus::Expected; }, timeout);
    return read([](const SessionState& s) { return s.loginStatus(); });
}

Unanswered SessionCore::finish(std::chrono::milliseconds bound) {
    waitUntil([](const SessionState& s) { return !s.connected() || !s.answersAwaited(); }, bound);
    std::lock_guard<std::mutex> hold(lock);
    state.closing();
    return state.unanswered();
}

BookSnapshot SessionCore::book() const {
    std::lock_guard<std::mutex> hold(lock);
    const OrderBook& b = state.book();
    BookSnapshot snapshot;
    snapshot.orders.reserve(b.orderCount());
    for (const BookOrder* o : b.orders()) snapshot.orders.push_back(*o);
    snapshot.fills.reserve(b.fillCount());
    for (const BookFill* f : b.fills()) snapshot.fills.push_back(*f);
    snapshot.positions = b.positions();
    snapshot.duplicates = b.duplicates();
    snapshot.tradingDate = b.tradingDate();
    return snapshot;
}

void SessionCore::onTraderEvent(int kind, int code) {
    handle(false, [&](SessionState& s) { return s.connectionEvent(kind, code, steadyNow()); });
}

void SessionCore::onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) {
    const std::string text = readableText(message != nullptr ? message : "");
    // The login's reconciliation is registered and its queries sent in one step.
    handle(true, [&](SessionState& s) { return s.loginResult(succeeded, text, tradingDate, steadyNow()); });
}

void SessionCore::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    if (entrust == nullptr) return;
    EntrustRecord record = copyEntrust(*entrust);
    const bool refused = error != nullptr;
    const int32_t code = refused ? error->code : 0;
    std::string text = refused ? readableText(error->message) : std::string();
    handle(false, [&](SessionState& s) { return s.entrustAnswer(std::move(record), refused, code, std::move(text)); });
}

void SessionCore::onAccountAnswer(kra::NXSArray* accounts) {
    auto records = copyArray<AccountRecord, kra::NXSAccountInfo>(accounts, copyAccount);
    handle(false, [&](SessionState& s) { return s.accountsAnswer(std::move(records)); });
}

void SessionCore::onPositionsAnswer(kra::NXSArray* positions) {
    auto records = copyArray<PositionRecord, kra::NXSPositionItem>(positions, copyPosition);
    handle(false, [&](SessionState& s) { return s.positionsAnswer(std::move(records)); });
}

void SessionCore::onOrdersAnswer(kra::NXSArray* orders) {
    auto records = copyArray<OrderRecord, kra::NXSOrderInfo>(orders, copyOrder);
    handle(false, [&](SessionState& s) { return s.ordersAnswer(std::move(records)); });
}

void SessionCore::onTradesAnswer(kra::NXSArray* trades) {
    auto records = copyArray<TradeRecord, kra::NXSTradeInfo>(trades, copyTrade);
    handle(false, [&](SessionState& s) { return s.tradesAnswer(std::move(records), steadyNow()); });
}

void SessionCore::onOrderPush(kra::NXSOrderInfo* order) {
    if (order == nullptr) return;
    OrderRecord record = copyOrder(*order);
    handle(false, [&](SessionState& s) { return s.orderPush(std::move(record)); });
}

void SessionCore::onTradePush(kra::NXSTradeInfo* trade) {
    if (trade == nullptr) return;
    TradeRecord record = copyTrade(*trade);
    handle(false, [&](SessionState& s) { return s.tradePush(std::move(record)); });
}

void SessionCore::onTraderError(kra::NXSError* error) {
    if (error == nullptr) return;
    const int32_t code = error->code;
    std::string text = readableText(error->message);
    handle(false, [&](SessionState& s) { return s.cancelRefused(code, std::move(text)); });
}

void SessionCore::logMessage(int level, const char* format, ...) {
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    std::string text = gbkToUtf8(formatLogLine(format, args));
    va_end(args);
    ErrorLogCapture::note(level, text);
    handle(false, [&](SessionState& s) { return s.logLine(level, std::move(text)); });
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

}  // namespace hvr::tools
