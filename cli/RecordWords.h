// Plain words for the character codes in the session's records, and the
// one-line descriptions of answers and pushes the host prints. Pure; the
// records' texts are UTF-8 already (common/SessionRecords.h).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "common/TradeWords.h"
#include "common/SessionRecords.h"

namespace hvr::cli {

// Words for the character codes, shared with the Python package.
using tools::offsetWord;
using tools::orderStateWord;
using tools::positionSideWord;
using tools::sideWord;
using tools::timeConditionWord;
using tools::priceTypeWord;
using tools::describeEntrust;  // "IF2412 buy open 1 @ 3500 limit day"

// "order 12 IF2412 buy open 1 @ 3500: filled, traded 1, left 0"
std::string describeOrderPush(const tools::OrderRecord& order);
// "trade 7 of order 12 IF2412 buy open 1 @ 3500, amount 1,050,000.00"
std::string describeTradePush(const tools::TradeRecord& trade);

// A record time as local time: milliseconds since the epoch as
// "2026-12-07 14:03:07.123", seconds since the epoch as "2026-12-07 14:03:07";
// any other value (0, or a server's own unit) as its number.
std::string recordTimeText(uint64_t value);

// The same facts as JSON objects, for --json ("type" is added by the caller).
// Record times are milliseconds since the epoch (an order push's seconds
// times 1000).
nlohmann::json entrustJson(const tools::EntrustRecord& entrust);
nlohmann::json orderPushJson(const tools::OrderRecord& order);
nlohmann::json tradePushJson(const tools::TradeRecord& trade);

}  // namespace hvr::cli
