// The module's records as plain values a host keeps: the module releases its
// records right after each listener call, so the session core copies every
// one it is handed into one of these before the call returns. Texts are made
// readable (readableText: UTF-8 kept, GBK converted); codes keep the module's
// character values, which each host puts into words. Field names are the
// module's.
//
// Pure data and pure copies: no lock; the copies read the source record
// during the call only and may run on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/NXSObject.h"
#include "host/NXSRecords.h"

namespace hvr::tools {

struct EntrustRecord {
    std::string code;
    uint32_t volume = 0;
    double price = 0.0;
    uint32_t direction = '0';
    uint32_t priceType = '2';
    uint32_t timeCondition = '3';
    uint32_t offsetType = '0';
    std::string entrustId;  // the server's order id in an answer
    std::string userTag;
};

struct OrderRecord : EntrustRecord {
    uint32_t tradingDate = 0;
    uint64_t orderTime = 0;  // a push's whole seconds, a query answer's milliseconds
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
    std::string userTag;  // empty in a trades answer
    uint32_t tradingDate = 0;
    uint64_t tradeTime = 0;  // milliseconds since the epoch
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

EntrustRecord copyEntrust(const kra::NXSEntrust& entrust);
OrderRecord copyOrder(const kra::NXSOrderInfo& order);
TradeRecord copyTrade(const kra::NXSTradeInfo& trade);
PositionRecord copyPosition(const kra::NXSPositionItem& position);
AccountRecord copyAccount(const kra::NXSAccountInfo& account);

// Every element of an array that is a Source, copied with copy(), in order.
// The array may be null (no records).
template <typename Record, typename Source, typename Copy>
std::vector<Record> copyArray(const kra::NXSArray* array, Copy copy) {
    std::vector<Record> records;
    if (array == nullptr) return records;
    records.reserve(array->count());
    for (std::size_t i = 0; i < array->count(); ++i) {
        if (const Source* item = array->itemAs<Source>(i)) records.push_back(copy(*item));
    }
    return records;
}

}  // namespace hvr::tools
