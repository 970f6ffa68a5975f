#include "common/TradeWords.h"

#include <cstdio>

namespace hvr::tools {

const char* sideWord(uint32_t direction) { return direction == '0' ? "buy" : direction == '1' ? "sell" : "?"; }

const char* positionSideWord(uint32_t direction) {
    return direction == '0' ? "long" : direction == '1' ? "short" : "?";
}

const char* offsetWord(uint32_t offset) {
    switch (offset) {
        case '0': return "open";
        case '1': return "close";
        case '3': return "closetoday";
        default: return "?";
    }
}

const char* orderStateWord(uint32_t orderState) {
    switch (orderState) {
        case '0': return "filled";
        case '1': return "part filled, queuing";
        case '2': return "part filled, not queuing";
        case '3': return "queuing";
        case '4': return "not queuing";
        case '5': return "cancelled";
        case '6': return "unknown";
        default: return "?";
    }
}

const char* timeConditionWord(uint32_t timeCondition) {
    switch (timeCondition) {
        case '3': return "day";
        case '2': return "section";
        case '1': return "ioc";
        default: return "?";
    }
}

const char* priceTypeWord(uint32_t priceType) { return priceType == '2' ? "limit" : priceType == '1' ? "market" : "?"; }

std::string describeEntrust(const EntrustRecord& entrust) {
    return entrust.code + " " + sideWord(entrust.direction) + " " + offsetWord(entrust.offsetType) + " " +
           std::to_string(entrust.volume) + " @ " + formatPrice(entrust.price) + " " + priceTypeWord(entrust.priceType) +
           " " + timeConditionWord(entrust.timeCondition);
}

std::string formatPrice(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", value);
    std::string out(text);
    while (!out.empty() && out.back() == '0') out.pop_back();
    if (!out.empty() && out.back() == '.') out.pop_back();
    if (out == "-0") out = "0";
    return out;
}

std::string formatCount(uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string countOf(uint64_t value, const char* one, const char* many) {
    return formatCount(value) + " " + (value == 1 ? one : many);
}

}  // namespace hvr::tools
