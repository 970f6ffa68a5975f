// Copies of what the trader module hands to the listener, as plain values the
// extension owns. The module releases its records right after each listener
// call, so every call is copied into one of these before it returns. Texts are
// already converted from GBK to UTF-8; code fields keep the module's character
// values, which the Python layer names.
//
// Pure data: no Python object, no lock. Built on whatever thread the listener
// call arrives on, then moved into the event queue and converted to Python
// objects by the thread that reads it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "common/Reconciler.h"

namespace hvr::python {

struct EntrustRecord {
    std::string code;
    uint32_t volume = 0;
    double price = 0.0;
    uint32_t direction = 0;
    uint32_t priceType = 0;
    uint32_t timeCondition = 0;
    uint32_t offsetType = 0;
    std::string entrustId;
    std::string userTag;
};

struct OrderRecord : EntrustRecord {
    uint32_t tradingDate = 0;
    uint64_t orderTime = 0;
    uint32_t tradedVolume = 0;
    uint32_t leftVolume = 0;
    uint32_t orderState = 0;
    int32_t orderType = 0;
    std::string orderId;
    std::string stateMessage;
};

struct TradeRecord {
    std::string code;
    std::string tradeId;
    std::string orderId;
    std::string userTag;
    uint32_t tradingDate = 0;
    uint64_t tradeTime = 0;
    uint32_t volume = 0;
    double price = 0.0;
    uint32_t direction = 0;
    uint32_t offsetType = 0;
    int32_t orderType = 0;
    double amount = 0.0;
};

struct PositionRecord {
    std::string code;
    std::string currency;
    uint32_t direction = 0;
    uint32_t preVolume = 0;
    uint32_t newVolume = 0;
    uint32_t availPreVolume = 0;
    uint32_t availNewVolume = 0;
    double totalCost = 0.0;
    double margin = 0.0;
    double avgPrice = 0.0;
    double dynProfit = 0.0;
};

struct AccountRecord {
    std::string accountName;
    std::string currency;
    double balance = 0.0;
    double preBalance = 0.0;
    double margin = 0.0;
    double commission = 0.0;
    double frozenMargin = 0.0;
    double frozenCommission = 0.0;
    double closeProfit = 0.0;
    double dynProfit = 0.0;
    double deposit = 0.0;
    double withdraw = 0.0;
    double available = 0.0;
};

// onTraderEvent: kind 0 after a connect attempt (code 0 = connected), kind 1
// when the connection ends.
struct ConnectionEvent {
    int kind = 0;
    int code = 0;
};

struct LoginEvent {
    bool succeeded = false;
    std::string message;
    uint32_t tradingDate = 0;
};

struct EntrustAnswerEvent {
    EntrustRecord entrust;
    bool refused = false;
    int32_t errorCode = 0;
    std::string errorText;
};

// A refused cancel, with the order it was for (the oldest cancel the host
// had outstanding; empty when none was).
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
};

struct OrdersEvent {
    std::vector<OrderRecord> orders;
};

struct TradesEvent {
    std::vector<TradeRecord> trades;
};

// A push, and whether the book held it as a duplicate (common/OrderBook.h).
struct OrderPushEvent {
    OrderRecord order;
    bool duplicate = false;
};

struct TradePushEvent {
    TradeRecord trade;
    bool duplicate = false;
};

// The result of a reconciliation of the book with the server.
struct ReconciledEvent {
    tools::ReconcileResult result;
};

struct LogEvent {
    int level = 0;
    std::string text;
};

using EventPayload = std::variant<ConnectionEvent, LoginEvent, EntrustAnswerEvent, CancelRefusedEvent,
                                  AccountsEvent, PositionsEvent, OrdersEvent, TradesEvent, OrderPushEvent,
                                  TradePushEvent, LogEvent, ReconciledEvent>;

// A copy of the book, taken under the listener's lock.
struct BookSnapshot {
    std::vector<tools::BookOrder> orders;
    std::vector<tools::BookFill> fills;
    std::vector<tools::BookPosition> positions;
    uint64_t duplicates = 0;
    uint32_t tradingDate = 0;
};

// One listener call and when it arrived: nanoseconds since the epoch by the
// system clock, taken as the call came in (not when Python read it).
struct Event {
    EventPayload payload;
    int64_t receivedNs = 0;
};

}  // namespace hvr::python
