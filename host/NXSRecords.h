/// @file
/// Trading records exchanged with the host, and named constants for their
/// character codes.
///
/// Every record is an NXSObject (created with a count of 1, see NXSObject.h).
/// Text fields hold 8-bit text as received from the server (GBK for Chinese
/// text), with no code-page conversion. Code fields (NXSCode) are 32 bits wide
/// and hold a character value ('0' is 48); the constants below name them.
///
/// Times: `NXSOrderInfo::orderTime` and `NXSTradeInfo::tradeTime` carry the
/// server's clock in two units, see their fields. Money and prices are plain
/// doubles in the instrument's currency (the wire's 1/10000 units divided out).
#pragma once

#include <cstdint>
#include <string>

#include "NXSObject.h"

namespace kra {

/// A character value in a 32-bit field ('0' is 48).
using NXSCode = uint32_t;

/// @name Direction (NXSEntrust::direction, NXSTradeInfo::direction, NXSPositionItem::direction)
/// @{
constexpr NXSCode DIRECTION_LONG = '0';   ///< buy; a long position
constexpr NXSCode DIRECTION_SHORT = '1';  ///< sell; a short position
/// @}

/// @name Price type (NXSEntrust::priceType)
/// @{
constexpr NXSCode PRICE_TYPE_ANY = '1';    ///< any price: a market order, the price is ignored (the default)
constexpr NXSCode PRICE_TYPE_LIMIT = '2';  ///< limit price
/// @}

/// @name Time condition (NXSEntrust::timeCondition)
/// @{
constexpr NXSCode TIME_CONDITION_IOC = '1';      ///< immediate or cancel
constexpr NXSCode TIME_CONDITION_SECTION = '2';  ///< valid in the trading section
constexpr NXSCode TIME_CONDITION_DAY = '3';      ///< valid for the day (the default)
/// @}

/// @name Offset (NXSEntrust::offsetType, NXSTradeInfo::offsetType)
/// @{
constexpr NXSCode OFFSET_OPEN = '0';         ///< opens a position (the default)
constexpr NXSCode OFFSET_CLOSE = '1';        ///< closes a position
constexpr NXSCode OFFSET_CLOSE_TODAY = '3';  ///< closes a position opened today
/// @}

/// @name Order state (NXSOrderInfo::orderState)
/// @{
constexpr NXSCode ORDER_STATE_ALL_TRADED = '0';               ///< filled completely; final
constexpr NXSCode ORDER_STATE_PART_TRADED_QUEUING = '1';      ///< partly filled, the rest waits in the book
constexpr NXSCode ORDER_STATE_PART_TRADED_NOT_QUEUING = '2';  ///< partly filled, the rest is gone; final
constexpr NXSCode ORDER_STATE_QUEUING = '3';                  ///< not traded, waiting in the book
constexpr NXSCode ORDER_STATE_NOT_QUEUING = '4';              ///< not traded and not in the book; final
constexpr NXSCode ORDER_STATE_CANCELLED = '5';                ///< cancelled; final
constexpr NXSCode ORDER_STATE_UNKNOWN = '6';                  ///< the server does not know
constexpr NXSCode ORDER_STATE_NONE = 'a';                     ///< the default of a record no conversion filled
/// @}

/// True for the order states after which an order changes no more.
constexpr bool isFinalOrderState(NXSCode state) {
    return state == ORDER_STATE_ALL_TRADED || state == ORDER_STATE_PART_TRADED_NOT_QUEUING ||
           state == ORDER_STATE_NOT_QUEUING || state == ORDER_STATE_CANCELLED;
}

/// @name Order type (NXSOrderInfo::orderType, NXSTradeInfo::orderType; plain integers)
/// @{
constexpr int32_t ORDER_TYPE_NORMAL = 0;     ///< an ordinary order
constexpr int32_t ORDER_TYPE_EXCEPTION = 1;  ///< an exception order
constexpr int32_t ORDER_TYPE_OTHER = 2;      ///< system, hedge, counter or any other kind
/// @}

/// NXSOrderAction::actionFlag of a cancel, the only action the module sends.
constexpr NXSCode ACTION_FLAG_CANCEL = '0';

/// An order as the host enters it, and as the module reports an order-insert
/// answer. The module reads the host's entrust only during orderInsert and
/// never retains or releases it.
///
/// Pitfall: priceType defaults to PRICE_TYPE_ANY. An entrust that only sets
/// price is sent as a market order and fills at whatever the market gives
/// ("buy @ 3400" may fill at 3500). For a limit order set priceType =
/// PRICE_TYPE_LIMIT.
class NXSEntrust : public NXSObject {
public:
    /// A new entrust (count 1) with every other field at its default; a null
    /// code reads as empty.
    static NXSEntrust* create(const char* code, uint32_t volume, double price) {
        NXSEntrust* entrust = new NXSEntrust();
        entrust->code = code != nullptr ? code : "";
        entrust->volume = volume;
        entrust->price = price;
        return entrust;
    }
    /// An empty entrust with a count of 1.
    NXSEntrust() = default;

    std::string exchange;  ///< exchange code; empty in every record the module makes, never read by it
    std::string code;      ///< instrument code
    uint32_t volume = 0;   ///< quantity in lots
    double price = 0.0;    ///< limit price in the instrument's currency (ignored for PRICE_TYPE_ANY)
    NXSCode direction = '0';      ///< DIRECTION_LONG ('0', buy) or DIRECTION_SHORT ('1', sell)
    NXSCode priceType = '1';      ///< PRICE_TYPE_ANY ('1', market: price ignored) or PRICE_TYPE_LIMIT ('2')
    NXSCode timeCondition = '3';  ///< TIME_CONDITION_DAY ('3'), TIME_CONDITION_SECTION ('2') or TIME_CONDITION_IOC ('1')
    NXSCode offsetType = '0';     ///< OFFSET_OPEN ('0'), OFFSET_CLOSE ('1') or OFFSET_CLOSE_TODAY ('3')
    std::string entrustId;  ///< in answers: the server's order id as decimal text
    std::string userTag;    ///< the host's tag, carried back by the answer and the order's pushes
};

/// An order with its state, from order pushes (ITraderListener::onOrderPush)
/// and order queries (ITraderListener::onOrdersAnswer).
class NXSOrderInfo : public NXSEntrust {
public:
    /// A new record (count 1) with every field at its default.
    static NXSOrderInfo* create() { return new NXSOrderInfo(); }
    /// An empty record with a count of 1.
    NXSOrderInfo() = default;

    uint32_t tradingDate = 0;  ///< trading date as the number YYYYMMDD
    /// The server's order time, in two units: in an order **query answer** as
    /// the server sent it (hvr-sim: milliseconds since the epoch); in an order
    /// **push** that value divided by 1000, remainder dropped (hvr-sim: whole
    /// seconds since the epoch). 0 when the server sent none.
    uint64_t orderTime = 0;
    uint32_t tradedVolume = 0;  ///< lots filled so far
    uint32_t leftVolume = 0;    ///< lots not filled (still queuing, or gone when the state is final)
    NXSCode orderState = 'a';  ///< ORDER_STATE_ALL_TRADED ('0') to ORDER_STATE_UNKNOWN ('6'); 'a' is never produced by a conversion
    int32_t orderType = 0;     ///< ORDER_TYPE_NORMAL (0), ORDER_TYPE_EXCEPTION (1) or ORDER_TYPE_OTHER (2)
    std::string orderId;       ///< the server's order id as decimal text (the same text as entrustId)
    std::string stateMessage;  ///< the server's words on the state (GBK)
};

/// A fill, from trade pushes (ITraderListener::onTradePush) and trade queries
/// (ITraderListener::onTradesAnswer).
class NXSTradeInfo : public NXSObject {
public:
    /// A new record (count 1) for an instrument; a null code reads as empty.
    static NXSTradeInfo* create(const char* code) {
        NXSTradeInfo* trade = new NXSTradeInfo();
        trade->code = code != nullptr ? code : "";
        return trade;
    }
    /// An empty record with a count of 1.
    NXSTradeInfo() = default;

    std::string exchange;      ///< always empty
    std::string code;          ///< instrument code
    std::string tradeId;       ///< the server's trade id as decimal text
    std::string orderId;       ///< the server's id of the order filled, as decimal text
    std::string userTag;       ///< the order's tag in pushes; empty in trade query answers
    uint32_t tradingDate = 0;  ///< trading date as the number YYYYMMDD
    /// The server's fill time as it sent it, in pushes and query answers alike
    /// (hvr-sim: milliseconds since the epoch).
    uint64_t tradeTime = 0;
    uint32_t volume = 0;     ///< lots filled
    double price = 0.0;      ///< fill price
    NXSCode direction = 0;   ///< DIRECTION_LONG (buy) or DIRECTION_SHORT (sell)
    NXSCode offsetType = 0;  ///< OFFSET_OPEN, OFFSET_CLOSE or OFFSET_CLOSE_TODAY
    int32_t orderType = 0;   ///< ORDER_TYPE_NORMAL, ORDER_TYPE_EXCEPTION or ORDER_TYPE_OTHER
    NXSCode tradeType = '0';  ///< always '0': no conversion sets it
    double amount = 0.0;      ///< money traded: price x volume x the contract multiplier
};

/// One position line of a position query (ITraderListener::onPositionsAnswer).
/// Only instruments the host's IContractCatalog knows appear.
class NXSPositionItem : public NXSObject {
public:
    /// A new record (count 1); null texts read as empty.
    static NXSPositionItem* create(const char* code, const char* currency) {
        NXSPositionItem* item = new NXSPositionItem();
        item->code = code != nullptr ? code : "";
        item->currency = currency != nullptr ? currency : "";
        return item;
    }
    /// An empty record with a count of 1.
    NXSPositionItem() = default;

    std::string exchange;          ///< always empty
    std::string code;              ///< instrument code, as the catalog gives it
    std::string currency = "CNY";  ///< the product's currency, from the catalog
    NXSCode direction = '0';       ///< DIRECTION_LONG or DIRECTION_SHORT
    uint32_t preVolume = 0;        ///< lots carried from earlier days
    uint32_t newVolume = 0;        ///< lots opened today
    uint32_t availPreVolume = 0;   ///< part of preVolume that may be closed now
    uint32_t availNewVolume = 0;   ///< part of newVolume that may be closed now
    double totalCost = 0.0;        ///< money amount of the position
    double margin = 0.0;           ///< margin held for it
    /// totalCost / (preVolume + newVolume) / the catalog's volume multiplier,
    /// in full double precision (1.x truncated it to a whole number); 0 when
    /// the multiplier is 0.
    double avgPrice = 0.0;
    double dynProfit = 0.0;  ///< floating profit
};

/// Funds of one account, from an account query (ITraderListener::onAccountAnswer).
/// Every amount is money in the account's currency.
class NXSAccountInfo : public NXSObject {
public:
    /// A new record (count 1) with every field at its default.
    static NXSAccountInfo* create() { return new NXSAccountInfo(); }
    /// An empty record with a count of 1.
    NXSAccountInfo() = default;

    std::string accountName;         ///< the user name of the latest login
    std::string currency = "CNY";    ///< the account's currency
    double balance = 0.0;            ///< balance now
    double preBalance = 0.0;         ///< balance at the start of the day
    double margin = 0.0;             ///< margin held by positions
    double commission = 0.0;         ///< commission paid today
    double frozenMargin = 0.0;       ///< margin held by orders not yet filled
    double frozenCommission = 0.0;   ///< commission held by orders not yet filled
    double closeProfit = 0.0;        ///< profit of positions closed today
    double dynProfit = 0.0;          ///< floating profit of open positions
    double deposit = 0.0;            ///< deposited today
    double withdraw = 0.0;           ///< withdrawn today
    double available = 0.0;          ///< available for new orders
};

/// The host's order-action record, the argument of ITraderApi::orderCancel.
/// The module only reads actionFlag and orderId, and only during the call.
class NXSOrderAction : public NXSObject {
public:
    /// A new record (count 1) with every field at its default.
    static NXSOrderAction* create() { return new NXSOrderAction(); }
    /// An empty record with a count of 1.
    NXSOrderAction() = default;

    std::string exchange;      ///< not read by the module
    std::string code;          ///< not read by the module
    NXSCode actionFlag = '0';  ///< ACTION_FLAG_CANCEL ('0') asks for a cancel; any other value is refused
    std::string orderId;       ///< the server's order id as decimal text
    std::string entrustId;     ///< not read by the module
    std::string userTag;       ///< not read by the module
};

}  // namespace kra
