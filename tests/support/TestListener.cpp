#include "TestListener.h"

namespace hvr::test {

TestListener::~TestListener() {
    for (auto& answer : entrustAnswers) answer.entrust->release();
    for (auto* list : {&accountAnswers, &positionAnswers, &orderAnswers, &tradeAnswers})
        for (kra::NXSArray* array : *list) array->release();
    for (auto* order : orderPushes) order->release();
    for (auto* trade : tradePushes) trade->release();
}

void TestListener::recorded() { changed.notify_all(); }

void TestListener::onTraderEvent(int kind, int code) {
    std::function<void(int, int)> callback;
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back({kind, code});
        callback = onEvent;
    }
    recorded();
    if (callback) callback(kind, code);
}

void TestListener::setOnEvent(std::function<void(int kind, int code)> callback) {
    std::lock_guard<std::mutex> guard(lock);
    onEvent = std::move(callback);
}

void TestListener::onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) {
    {
        std::lock_guard<std::mutex> guard(lock);
        loginResults.push_back({succeeded, message != nullptr ? message : "<null>", tradingDate});
    }
    recorded();
}

void TestListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    entrust->retain();
    {
        std::lock_guard<std::mutex> guard(lock);
        entrustAnswers.push_back({entrust, error != nullptr, error != nullptr ? error->code : 0,
                                  error != nullptr ? error->message : std::string()});
    }
    recorded();
}

void TestListener::onOrderPush(kra::NXSOrderInfo* order) {
    order->retain();
    {
        std::lock_guard<std::mutex> guard(lock);
        orderPushes.push_back(order);
    }
    recorded();
}

void TestListener::onTradePush(kra::NXSTradeInfo* trade) {
    trade->retain();
    {
        std::lock_guard<std::mutex> guard(lock);
        tradePushes.push_back(trade);
    }
    recorded();
}

void TestListener::onTraderError(kra::NXSError* error) {
    {
        std::lock_guard<std::mutex> guard(lock);
        traderErrors.emplace_back(error->code, error->message);
    }
    recorded();
}

void TestListener::logMessage(int level, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> guard(lock);
        logs.push_back({level, format, text});
    }
    recorded();
}

void TestListener::keepArray(kra::NXSArray* array, std::vector<kra::NXSArray*>& into) {
    array->retain();
    {
        std::lock_guard<std::mutex> guard(lock);
        into.push_back(array);
    }
    recorded();
}

bool TestListener::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, pred);
}

std::vector<TraderEvent> TestListener::eventsSnapshot() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
}

std::vector<LogLine> TestListener::logsSnapshot() {
    std::lock_guard<std::mutex> guard(lock);
    return logs;
}

std::vector<LogLine> TestListener::logsWith(const char* format) {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<LogLine> found;
    for (const LogLine& l : logs)
        if (l.format == format) found.push_back(l);
    return found;
}

std::size_t TestListener::countEvents(int kind, int code) {
    std::lock_guard<std::mutex> guard(lock);
    std::size_t n = 0;
    for (const auto& e : events) n += e.kind == kind && e.code == code;
    return n;
}

std::size_t TestListener::countLogs(const char* format) {
    std::lock_guard<std::mutex> guard(lock);
    std::size_t n = 0;
    for (const auto& l : logs) n += l.format == format;
    return n;
}

bool TestListener::waitForEvent(int kind, int code, std::size_t count) {
    return waitFor([&] {
        std::size_t n = 0;
        for (const auto& e : events) n += e.kind == kind && e.code == code;
        return n >= count;
    });
}

bool TestListener::waitForLog(const char* format, std::size_t count) {
    return waitFor([&] {
        std::size_t n = 0;
        for (const auto& l : logs) n += l.format == format;
        return n >= count;
    });
}

}  // namespace hvr::test
