// The module's records as the book keeps them (OrderBook.h): texts to UTF-8
// (readableText), an order push's whole seconds to milliseconds. Pure; reads
// the records during the call only.
#pragma once

#include <vector>

#include "common/OrderBook.h"
#include "host/NXSObject.h"
#include "host/NXSRecords.h"

namespace hvr::tools {

enum class OrderSource { Push, Answer };  // a push's order time is in seconds

BookOrder bookOrder(const kra::NXSOrderInfo& order, OrderSource source);
BookFill bookFill(const kra::NXSTradeInfo& trade);
ServerPosition serverPosition(const kra::NXSPositionItem& position);

// Whole query answers (arrays of NXSOrderInfo, NXSTradeInfo, NXSPositionItem).
std::vector<BookOrder> bookOrders(const kra::NXSArray& orders);
std::vector<BookFill> bookFills(const kra::NXSArray& trades);
std::vector<ServerPosition> serverPositions(const kra::NXSArray& positions);

}  // namespace hvr::tools
