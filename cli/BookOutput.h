// The book (common/OrderBook.h) and its reconciliations as the host prints
// them: aligned tables and JSON rows for the book command, and the lines and
// objects of a reconciliation's result. Pure.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/RecordTables.h"
#include "common/Reconciler.h"

namespace hvr::cli {

RecordTable bookOrdersRecords(const tools::OrderBook& book);
// Positions from the book's fills, with the server's line (pre + new volume)
// from the last positions answer beside them.
RecordTable bookPositionsRecords(const tools::OrderBook& book);

// "book: 3 orders, 2 fills, 0 duplicates, trading date 20261208"
std::string bookSummary(const tools::OrderBook& book);

// A reconciliation's result as printed: the summary line, then one line per
// difference, the new day and the module's warnings at that login.
struct PrintedRecord {
    std::string text;
    std::vector<nlohmann::json> objects;  // "type" set; the console adds "time"
};
PrintedRecord reconcileRecord(const tools::ReconcileResult& result);

// A difference as JSON: "kind", "orderId", "tradeId", "code", the book's and
// the server's "state" and "traded" where they apply, and "text".
nlohmann::json differenceJson(const tools::Difference& difference);

}  // namespace hvr::cli
