// The four query answers as aligned tables (funds, positions, orders and
// trades) and as JSON rows with the same fields. Pure functions over arrays
// the adapter handed to the listener; they read the array during the call
// only. Text fields come out as UTF-8 (readableText).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/TableFormat.h"
#include "host/NXSObject.h"

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

RecordTable fundsRecords(const kra::NXSArray& accounts);       // of NXSAccountInfo
RecordTable positionsRecords(const kra::NXSArray& positions);  // of NXSPositionItem
RecordTable ordersRecords(const kra::NXSArray& orders);        // of NXSOrderInfo
RecordTable tradesRecords(const kra::NXSArray& trades);        // of NXSTradeInfo

// The aligned table (formatTable).
std::string tableText(const RecordTable& table);
// One object per row, keyed by the column titles.
std::vector<nlohmann::json> tableRows(const RecordTable& table);

inline std::string fundsTable(const kra::NXSArray& a) { return tableText(fundsRecords(a)); }
inline std::string positionsTable(const kra::NXSArray& a) { return tableText(positionsRecords(a)); }
inline std::string ordersTable(const kra::NXSArray& a) { return tableText(ordersRecords(a)); }
inline std::string tradesTable(const kra::NXSArray& a) { return tableText(tradesRecords(a)); }

}  // namespace hvr::cli
