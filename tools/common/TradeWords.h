// Plain words for the module's character codes and the number formats both
// hosts print. Pure.
#pragma once

#include <cstdint>
#include <string>

#include "common/SessionRecords.h"

namespace hvr::tools {

const char* sideWord(uint32_t direction);          // "buy" / "sell"
const char* positionSideWord(uint32_t direction);  // "long" / "short"
const char* offsetWord(uint32_t offset);           // "open" / "close" / "closetoday"
const char* orderStateWord(uint32_t orderState);   // "filled", "queuing", "cancelled", ...
const char* timeConditionWord(uint32_t timeCondition);  // "day" / "section" / "ioc"
const char* priceTypeWord(uint32_t priceType);          // "limit" / "market"

// A price with at most four decimals and no trailing zeros: "3500", "480.02".
std::string formatPrice(double value);

// A count with thousands separators: "1,904".
std::string formatCount(uint64_t value);
// A count with its noun: "1 fill", "1,904 fills".
std::string countOf(uint64_t value, const char* one, const char* many);

// "IF2412 buy open 1 @ 3500 limit day"
std::string describeEntrust(const EntrustRecord& entrust);

}  // namespace hvr::tools
