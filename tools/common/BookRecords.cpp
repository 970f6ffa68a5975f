#include "common/BookRecords.h"

#include "common/GbkText.h"

namespace hvr::tools {

namespace {

constexpr uint64_t MILLIS_PER_SECOND = 1000;

template <typename Out, typename Record, typename Convert>
std::vector<Out> convertAll(const kra::NXSArray& array, Convert convert) {
    std::vector<Out> out;
    out.reserve(array.count());
    for (std::size_t i = 0; i < array.count(); ++i) {
        if (const Record* record = array.itemAs<Record>(i)) out.push_back(convert(*record));
    }
    return out;
}

}  // namespace

BookOrder bookOrder(const kra::NXSOrderInfo& o, OrderSource source) {
    BookOrder b;
    b.orderId = readableText(o.orderId);
    b.tag = readableText(o.userTag);
    b.code = readableText(o.code);
    b.direction = static_cast<char>(o.direction);
    b.offset = static_cast<char>(o.offsetType);
    b.state = static_cast<char>(o.orderState);
    b.volume = o.volume;
    b.traded = o.tradedVolume;
    b.left = o.leftVolume;
    b.price = o.price;
    b.timeMs = source == OrderSource::Push ? o.orderTime * MILLIS_PER_SECOND : o.orderTime;
    b.tradingDate = o.tradingDate;
    b.message = readableText(o.stateMessage);
    return b;
}

BookFill bookFill(const kra::NXSTradeInfo& t) {
    BookFill b;
    b.tradeId = readableText(t.tradeId);
    b.orderId = readableText(t.orderId);
    b.tag = readableText(t.userTag);
    b.code = readableText(t.code);
    b.direction = static_cast<char>(t.direction);
    b.offset = static_cast<char>(t.offsetType);
    b.volume = t.volume;
    b.price = t.price;
    b.amount = t.amount;
    b.timeMs = t.tradeTime;
    b.tradingDate = t.tradingDate;
    return b;
}

ServerPosition serverPosition(const kra::NXSPositionItem& p) {
    return ServerPosition{readableText(p.code), static_cast<char>(p.direction), p.preVolume, p.newVolume};
}

std::vector<BookOrder> bookOrders(const kra::NXSArray& orders) {
    return convertAll<BookOrder, kra::NXSOrderInfo>(orders, [](const kra::NXSOrderInfo& o) {
        return bookOrder(o, OrderSource::Answer);
    });
}

std::vector<BookFill> bookFills(const kra::NXSArray& trades) {
    return convertAll<BookFill, kra::NXSTradeInfo>(trades, bookFill);
}

std::vector<ServerPosition> serverPositions(const kra::NXSArray& positions) {
    return convertAll<ServerPosition, kra::NXSPositionItem>(positions, serverPosition);
}

}  // namespace hvr::tools
