// The durable trading day: accounts' funds, orders, trades, positions, the
// push log and the day's counters in one SQLite file, so that a restarted
// server continues the same day with the same ids. Orders and trades are kept
// as their serialized exchg records. Used by the server's network thread
// only; every save is one transaction.
#pragma once

#include <cstdint>
#include <string>

#include "Book.h"
#include "Records.h"
#include "SqliteDb.h"

namespace hvr::sim {

class Store {
public:
    // Opens (or creates) the database at path. freshDay wipes what it holds.
    // When it holds no day afterwards, a new day with tradingDate starts.
    // Throws SqliteError when the file cannot be used.
    Store(const std::string& path, bool freshDay, uint32_t tradingDate);

    // True when this open started a new trading day.
    bool startedNewDay() const { return startedNewDay_; }

    // The saved day, ready for the Book's constructor.
    BookSnapshot load();

    // Writes what changed, reading current values from book, in one
    // transaction. Throws SqliteError; nothing is written then.
    void save(const Book& book, const BookChanges& changes);

private:
    void createSchema();
    void writeDay(const DayCounters& day);

    SqliteDb db_;
    bool startedNewDay_ = false;
};

}  // namespace hvr::sim
