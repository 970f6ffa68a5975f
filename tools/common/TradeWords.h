// Plain words for the module's character codes and the number formats both
// hosts print. Pure.
#pragma once

#include <cstdint>
#include <string>

namespace hvr::tools {

const char* sideWord(uint32_t direction);          // "buy" / "sell"
const char* positionSideWord(uint32_t direction);  // "long" / "short"
const char* offsetWord(uint32_t offset);           // "open" / "close" / "closetoday"
const char* orderStateWord(uint32_t orderState);   // "filled", "queuing", "cancelled", ...

// A price with at most four decimals and no trailing zeros: "3500", "480.02".
std::string formatPrice(double value);

// A count with thousands separators: "1,904".
std::string formatCount(uint64_t value);
// A count with its noun: "1 fill", "1,904 fills".
std::string countOf(uint64_t value, const char* one, const char* many);

}  // namespace hvr::tools
