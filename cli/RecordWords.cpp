#include "cli/RecordWords.h"

#include "cli/TableFormat.h"

#include <cstdio>
#include <ctime>

namespace hvr::cli {

std::string describeOrderPush(const tools::OrderRecord& order) {
    std::string text = "order " + order.orderId + " " + order.code + " " + sideWord(order.direction) + " " +
                       offsetWord(order.offsetType) + " " + std::to_string(order.volume) + " @ " +
                       formatPrice(order.price) + ": " + orderStateWord(order.orderState) + ", traded " +
                       std::to_string(order.tradedVolume) + ", left " + std::to_string(order.leftVolume);
    if (!order.stateMessage.empty()) text += " (" + order.stateMessage + ")";
    return text;
}

std::string describeTradePush(const tools::TradeRecord& trade) {
    return "trade " + trade.tradeId + " of order " + trade.orderId + " " + trade.code + " " +
           sideWord(trade.direction) + " " + offsetWord(trade.offsetType) + " " + std::to_string(trade.volume) +
           " @ " + formatPrice(trade.price) + ", amount " + formatMoney(trade.amount);
}

namespace {

// Values from here on read as times since the epoch (2001-09-09 and later).
constexpr uint64_t FIRST_EPOCH_SECONDS = 1000000000ULL;
constexpr uint64_t FIRST_EPOCH_MILLIS = FIRST_EPOCH_SECONDS * 1000;
constexpr uint64_t LAST_EPOCH_MILLIS = FIRST_EPOCH_MILLIS * 100;

std::string localDateTime(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

std::string recordTimeText(uint64_t value) {
    if (value >= FIRST_EPOCH_MILLIS && value < LAST_EPOCH_MILLIS) {
        char millis[8];
        std::snprintf(millis, sizeof millis, ".%03u", static_cast<unsigned>(value % 1000));
        return localDateTime(static_cast<std::time_t>(value / 1000)) + millis;
    }
    if (value >= FIRST_EPOCH_SECONDS && value < FIRST_EPOCH_MILLIS)
        return localDateTime(static_cast<std::time_t>(value));
    return std::to_string(value);
}

nlohmann::json entrustJson(const tools::EntrustRecord& e) {
    return {{"orderId", e.entrustId}, {"tag", e.userTag},   {"code", e.code},
            {"side", sideWord(e.direction)}, {"offset", offsetWord(e.offsetType)}, {"volume", e.volume},
            {"price", e.price}, {"priceType", priceTypeWord(e.priceType)},
            {"valid", timeConditionWord(e.timeCondition)}};
}

nlohmann::json orderPushJson(const tools::OrderRecord& o) {
    nlohmann::json object = entrustJson(o);
    object["orderId"] = o.orderId;
    object["entrustId"] = o.entrustId;
    object["state"] = orderStateWord(o.orderState);
    object["traded"] = o.tradedVolume;
    object["left"] = o.leftVolume;
    // A push carries whole seconds; --json gives every record time in
    // milliseconds since the epoch.
    object["orderTime"] = o.orderTime * 1000;
    object["message"] = o.stateMessage;
    return object;
}

nlohmann::json tradePushJson(const tools::TradeRecord& t) {
    return {{"tradeId", t.tradeId}, {"orderId", t.orderId}, {"tag", t.userTag}, {"code", t.code},
            {"side", sideWord(t.direction)}, {"offset", offsetWord(t.offsetType)}, {"volume", t.volume},
            {"price", t.price}, {"amount", t.amount}, {"tradeTime", t.tradeTime}};
}

}  // namespace hvr::cli
