// The session's records (SessionRecords.h) as the book keeps them
// (OrderBook.h): an order push's whole seconds become milliseconds, codes
// become the book's characters. Pure.
#pragma once

#include <vector>

#include "common/OrderBook.h"
#include "common/SessionRecords.h"

namespace hvr::tools {

enum class OrderSource { Push, Answer };  // a push's order time is in seconds

BookOrder bookOrder(const OrderRecord& order, OrderSource source);
BookFill bookFill(const TradeRecord& trade);
ServerPosition serverPosition(const PositionRecord& position);

// Whole query answers.
std::vector<BookOrder> bookOrders(const std::vector<OrderRecord>& orders);
std::vector<BookFill> bookFills(const std::vector<TradeRecord>& trades);
std::vector<ServerPosition> serverPositions(const std::vector<PositionRecord>& positions);

}  // namespace hvr::tools
