#include "cli/RecordWords.h"

#include "cli/GbkText.h"
#include "cli/TableFormat.h"

namespace hvr::cli {

const char* sideWord(kra::NXSCode direction) { return direction == '0' ? "buy" : direction == '1' ? "sell" : "?"; }

const char* positionSideWord(kra::NXSCode direction) {
    return direction == '0' ? "long" : direction == '1' ? "short" : "?";
}

const char* offsetWord(kra::NXSCode offset) {
    switch (offset) {
        case '0': return "open";
        case '1': return "close";
        case '3': return "closetoday";
        default: return "?";
    }
}

const char* timeConditionWord(kra::NXSCode timeCondition) {
    switch (timeCondition) {
        case '3': return "day";
        case '2': return "section";
        case '1': return "ioc";
        default: return "?";
    }
}

const char* priceTypeWord(kra::NXSCode priceType) {
    return priceType == '2' ? "limit" : priceType == '1' ? "market" : "?";
}

const char* orderStateWord(kra::NXSCode orderState) {
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

std::string describeEntrust(const kra::NXSEntrust& entrust) {
    return entrust.code + " " + sideWord(entrust.direction) + " " + offsetWord(entrust.offsetType) + " " +
           std::to_string(entrust.volume) + " @ " + formatPrice(entrust.price) + " " +
           priceTypeWord(entrust.priceType) + " " + timeConditionWord(entrust.timeCondition);
}

std::string describeOrderPush(const kra::NXSOrderInfo& order) {
    std::string text = "order " + order.orderId + " " + order.code + " " + sideWord(order.direction) + " " +
                       offsetWord(order.offsetType) + " " + std::to_string(order.volume) + " @ " +
                       formatPrice(order.price) + ": " + orderStateWord(order.orderState) + ", traded " +
                       std::to_string(order.tradedVolume) + ", left " + std::to_string(order.leftVolume);
    if (!order.stateMessage.empty()) text += " (" + gbkToUtf8(order.stateMessage) + ")";
    return text;
}

std::string describeTradePush(const kra::NXSTradeInfo& trade) {
    return "trade " + trade.tradeId + " of order " + trade.orderId + " " + trade.code + " " +
           sideWord(trade.direction) + " " + offsetWord(trade.offsetType) + " " + std::to_string(trade.volume) +
           " @ " + formatPrice(trade.price) + ", amount " + formatMoney(trade.amount);
}

}  // namespace hvr::cli
