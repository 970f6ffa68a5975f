// A listener that records every call it gets, for tests. Records handed over
// are retained (as a host that keeps them would) and released when the
// listener is destroyed. Every wait synchronises on the calls themselves,
// with a generous deadline that only a failing test reaches.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/ITraderListener.h"
#include "host/SimpleContractCatalog.h"

namespace hvr::test {

constexpr std::chrono::milliseconds WAIT_LIMIT{10000};

struct TraderEvent {
    int kind;
    int code;
};

struct LogLine {
    int level;
    std::string format;
    std::string text;  // formatted, GBK bytes as sent
};

struct LoginResult {
    bool succeeded;
    std::string message;
    uint32_t tradingDate;
};

struct EntrustAnswer {
    kra::NXSEntrust* entrust;  // retained
    bool hasError;
    int32_t errorCode;
    std::string errorMessage;
};

class TestListener : public kra::ITraderListener {
public:
    explicit TestListener(kra::IContractCatalog* catalog = nullptr) : catalog(catalog) {}
    ~TestListener();

    void onTraderEvent(int kind, int code) override;
    void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) override;
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) override;
    void onAccountAnswer(kra::NXSArray* accounts) override { keepArray(accounts, accountAnswers); }
    void onPositionsAnswer(kra::NXSArray* positions) override { keepArray(positions, positionAnswers); }
    void onOrdersAnswer(kra::NXSArray* orders) override { keepArray(orders, orderAnswers); }
    void onTradesAnswer(kra::NXSArray* trades) override { keepArray(trades, tradeAnswers); }
    void onOrderPush(kra::NXSOrderInfo* order) override;
    void onTradePush(kra::NXSTradeInfo* trade) override;
    void onTraderError(kra::NXSError* error) override;
    kra::IContractCatalog* getContractCatalog() override { return catalog; }
    void logMessage(int level, const char* format, ...) override;

    // Waits until pred() holds, evaluated under the listener's lock.
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = WAIT_LIMIT);

    // Snapshot accessors, under the lock.
    std::vector<TraderEvent> eventsSnapshot();
    std::vector<LogLine> logsSnapshot();
    std::vector<LogLine> logsWith(const char* format);
    std::size_t countEvents(int kind, int code);
    std::size_t countLogs(const char* format);
    bool waitForEvent(int kind, int code, std::size_t count = 1);
    bool waitForLog(const char* format, std::size_t count = 1);

    // Called after each recorded event, outside the lock; may call the trader.
    void setOnEvent(std::function<void(int kind, int code)> callback);

    std::mutex lock;
    std::vector<TraderEvent> events;
    std::vector<LogLine> logs;
    std::vector<LoginResult> loginResults;
    std::vector<EntrustAnswer> entrustAnswers;
    std::vector<kra::NXSArray*> accountAnswers;  // all retained
    std::vector<kra::NXSArray*> positionAnswers;
    std::vector<kra::NXSArray*> orderAnswers;
    std::vector<kra::NXSArray*> tradeAnswers;
    std::vector<kra::NXSOrderInfo*> orderPushes;
    std::vector<kra::NXSTradeInfo*> tradePushes;
    std::vector<std::pair<int32_t, std::string>> traderErrors;

private:
    void keepArray(kra::NXSArray* array, std::vector<kra::NXSArray*>& into);
    void recorded();

    kra::IContractCatalog* catalog;
    std::condition_variable changed;
    std::function<void(int kind, int code)> onEvent;  // guarded by lock
};

}  // namespace hvr::test
