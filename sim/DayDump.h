// The stored trading day as readable tables, for `hvr-sim dump`: the day
// (its trading date and counters), orders, trades, open positions, the push
// log and the accounts' funds, with prices and money as
// decimals and the serialized exchg records decoded. Reads the database
// through the caller's connection (read-only is enough) and changes
// nothing. Throws SqliteError when a table is missing or a record does not
// parse.
#pragma once

#include <string>
#include <vector>

#include "DumpTable.h"
#include "SqliteDb.h"

namespace hvr::sim {

// The names dumpDay() knows, in the order the usage text lists them.
const std::vector<std::string>& dumpTableNames();

// REQUIRES: name is one of dumpTableNames().
DumpTable dumpDay(SqliteDb& db, const std::string& name);

}  // namespace hvr::sim
