// Plain words for the character codes in the host's records, and the one-line
// descriptions of answers and pushes the host prints. Pure; text fields of
// records (GBK as received) come out as UTF-8.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "common/TradeWords.h"
#include "host/NXSRecords.h"

namespace hvr::cli {

// Words for the character codes, shared with the Python package.
using tools::offsetWord;
using tools::orderStateWord;
using tools::positionSideWord;
using tools::sideWord;
const char* timeConditionWord(kra::NXSCode timeCondition);  // "day" / "section" / "ioc"
const char* priceTypeWord(kra::NXSCode priceType);     // "limit" / "market"

// "IF2412 buy open 1 @ 3500 limit day"
std::string describeEntrust(const kra::NXSEntrust& entrust);
// "order 12 IF2412 buy open 1 @ 3500: filled, traded 1, left 0"
std::string describeOrderPush(const kra::NXSOrderInfo& order);
// "trade 7 of order 12 IF2412 buy open 1 @ 3500, amount 1,050,000.00"
std::string describeTradePush(const kra::NXSTradeInfo& trade);

// A record time as local time: milliseconds since the epoch as
// "2026-12-07 14:03:07.123", seconds since the epoch as "2026-12-07 14:03:07";
// any other value (0, or a server's own unit) as its number.
std::string recordTimeText(uint64_t value);

// The same facts as JSON objects, for --json ("type" is added by the caller).
// Record times are milliseconds since the epoch (an order push's seconds
// times 1000).
nlohmann::json entrustJson(const kra::NXSEntrust& entrust);
nlohmann::json orderPushJson(const kra::NXSOrderInfo& order);
nlohmann::json tradePushJson(const kra::NXSTradeInfo& trade);

}  // namespace hvr::cli
