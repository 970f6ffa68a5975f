#include "common/BookRecords.h"

namespace hvr::tools {

namespace {

constexpr uint64_t MILLIS_PER_SECOND = 1000;

template <typename Out, typename In, typename Convert>
std::vector<Out> convertAll(const std::vector<In>& records, Convert convert) {
    std::vector<Out> out;
    out.reserve(records.size());
    for (const In& record : records) out.push_back(convert(record));
    return out;
}

}  // namespace

BookOrder bookOrder(const OrderRecord& o, OrderSource source) {
    BookOrder b;
    b.orderId = o.orderId;
    b.tag = o.userTag;
    b.code = o.code;
    b.direction = static_cast<char>(o.direction);
    b.offset = static_cast<char>(o.offsetType);
    b.state = static_cast<char>(o.orderState);
    b.volume = o.volume;
    b.traded = o.tradedVolume;
    b.left = o.leftVolume;
    b.price = o.price;
    b.timeMs = source == OrderSource::Push ? o.orderTime * MILLIS_PER_SECOND : o.orderTime;
    b.tradingDate = o.tradingDate;
    b.message = o.stateMessage;
    return b;
}

BookFill bookFill(const TradeRecord& t) {
    BookFill b;
    b.tradeId = t.tradeId;
    b.orderId = t.orderId;
    b.tag = t.userTag;
    b.code = t.code;
    b.direction = static_cast<char>(t.direction);
    b.offset = static_cast<char>(t.offsetType);
    b.volume = t.volume;
    b.price = t.price;
    b.amount = t.amount;
    b.timeMs = t.tradeTime;
    b.tradingDate = t.tradingDate;
    return b;
}

ServerPosition serverPosition(const PositionRecord& p) {
    return ServerPosition{p.code, static_cast<char>(p.direction), p.preVolume, p.newVolume};
}

std::vector<BookOrder> bookOrders(const std::vector<OrderRecord>& orders) {
    return convertAll<BookOrder>(orders, [](const OrderRecord& o) { return bookOrder(o, OrderSource::Answer); });
}

std::vector<BookFill> bookFills(const std::vector<TradeRecord>& trades) {
    return convertAll<BookFill>(trades, bookFill);
}

std::vector<ServerPosition> serverPositions(const std::vector<PositionRecord>& positions) {
    return convertAll<ServerPosition>(positions, serverPosition);
}

}  // namespace hvr::tools
