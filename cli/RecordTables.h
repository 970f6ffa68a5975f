// The four query answers as aligned tables (funds, positions, orders and
// trades) and as JSON rows with the same fields. Pure functions over the
// session's records (texts UTF-8 already).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/TableFormat.h"
#include "common/SessionRecords.h"

namespace hvr::cli {

// One cell: the text the table shows and the value a JSON row carries
// (a number for counts, prices and money, text otherwise).
struct Cell {
    std::string text;
    nlohmann::json value;
};

// Cells of the usual kinds, for the tables of answers and of the book.
Cell textCell(const std::string& value);
Cell countCell(uint64_t value);
Cell priceCell(double value);
Cell timeCell(uint64_t value);  // a record time, as recordTimeText shows it

struct RecordTable {
    std::vector<Column> columns;
    std::vector<std::vector<Cell>> rows;
};

RecordTable fundsRecords(const std::vector<tools::AccountRecord>& accounts);
RecordTable positionsRecords(const std::vector<tools::PositionRecord>& positions);
RecordTable ordersRecords(const std::vector<tools::OrderRecord>& orders);
RecordTable tradesRecords(const std::vector<tools::TradeRecord>& trades);

// The aligned table (formatTable).
std::string tableText(const RecordTable& table);
// One object per row, keyed by the column titles.
std::vector<nlohmann::json> tableRows(const RecordTable& table);

}  // namespace hvr::cli
