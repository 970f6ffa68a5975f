// Trading records exchanged with the host. Every record is an NXSObject
// (created with a count of 1, see NXSObject.h). Text fields hold 8-bit text as
// received from the server, with no code-page conversion. Code fields are 32
// bits wide and hold a character value ('0' is 48).
#pragma once

#include <cstdint>
#include <string>

#include "NXSObject.h"

namespace kra {

// A character value in a 32-bit field.
using NXSCode = uint32_t;

// An order as the host enters it, and as the module reports an order-insert
// answer. The module reads the host's entrust only during orderInsert and
// never retains or releases it.
//
// Pitfall: priceType defaults to '1', any price. An entrust that only sets
// price is sent as a market order and fills at whatever the market gives
// ("buy @ 3400" may fill at 3500). For a limit order set priceType = '2'.
class NXSEntrust : public NXSObject {
public:
    static NXSEntrust* create(const char* code, uint32_t volume, double price) {
        NXSEntrust* entrust = new NXSEntrust();
        entrust->code = code != nullptr ? code : "";
        entrust->volume = volume;
        entrust->price = price;
        return entrust;
    }
    NXSEntrust() = default;

    std::string exchange;
    std::string code;
    uint32_t volume = 0;
    double price = 0.0;
    NXSCode direction = '0';      // '0' long, '1' short
    NXSCode priceType = '1';      // '1' any price (market: price ignored), '2' limit price
    NXSCode timeCondition = '3';  // '3' valid in day, '2' valid in section, '1' immediate or cancel
    NXSCode offsetType = '0';     // '0' open, '1' close, '3' close today
    std::string entrustId;
    std::string userTag;
};

// An order with its state, from order pushes and order queries.
class NXSOrderInfo : public NXSEntrust {
public:
    static NXSOrderInfo* create() { return new NXSOrderInfo(); }
    NXSOrderInfo() = default;

    uint32_t tradingDate = 0;
    uint64_t orderTime = 0;
    uint32_t tradedVolume = 0;
    uint32_t leftVolume = 0;
    NXSCode orderState = 'a';  // '0'..'6'; 'a' is never produced by a conversion
    int32_t orderType = 0;     // 0 normal, 1 exception, 2 other
    std::string orderId;
    std::string stateMessage;
};

// A fill, from trade pushes and trade queries.
class NXSTradeInfo : public NXSObject {
public:
    static NXSTradeInfo* create(const char* code) {
        NXSTradeInfo* trade = new NXSTradeInfo();
        trade->code = code != nullptr ? code : "";
        return trade;
    }
    NXSTradeInfo() = default;

    std::string exchange;
    std::string code;
    std::string tradeId;
    std::string orderId;
    std::string userTag;
    uint32_t tradingDate = 0;
    uint64_t tradeTime = 0;
    uint32_t volume = 0;
    double price = 0.0;
    NXSCode direction = 0;
    NXSCode offsetType = 0;
    int32_t orderType = 0;
    NXSCode tradeType = '0';
    double amount = 0.0;
};

// One position line of a position query.
class NXSPositionItem : public NXSObject {
public:
    static NXSPositionItem* create(const char* code, const char* currency) {
        NXSPositionItem* item = new NXSPositionItem();
        item->code = code != nullptr ? code : "";
        item->currency = currency != nullptr ? currency : "";
        return item;
    }
    NXSPositionItem() = default;

    std::string exchange;
    std::string code;
    std::string currency = "CNY";
    NXSCode direction = '0';
    uint32_t preVolume = 0;
    uint32_t newVolume = 0;
    uint32_t availPreVolume = 0;
    uint32_t availNewVolume = 0;
    double totalCost = 0.0;
    double margin = 0.0;
    double avgPrice = 0.0;
    double dynProfit = 0.0;
};

// Funds of one account, from an account query.
class NXSAccountInfo : public NXSObject {
public:
    static NXSAccountInfo* create() { return new NXSAccountInfo(); }
    NXSAccountInfo() = default;

    std::string accountName;
    std::string currency = "CNY";
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

// The host's order-action record, the argument of orderCancel. The module only
// reads actionFlag and orderId, and only during the call.
class NXSOrderAction : public NXSObject {
public:
    static NXSOrderAction* create() { return new NXSOrderAction(); }
    NXSOrderAction() = default;

    std::string exchange;
    std::string code;
    NXSCode actionFlag = '0';  // '0' asks for a cancel
    std::string orderId;       // the server's order id as decimal text
    std::string entrustId;
    std::string userTag;
};

}  // namespace kra
