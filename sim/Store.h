// The durable trading day: accounts' funds, orders, trades, positions, the
// push log and the day's counters in one SQLite file, so that a restarted
// server continues the same day with the same ids. Orders and trades are kept
// as their serialized exchg records. Used by the server's network thread
// only; every save is one transaction.
//
// Ids never go back: --fresh-day keeps, per user, the highest push id ever
// issued (table push_floor, any date), and per date the order, trade and
// session counters a day of that date reached (table id_floor), so a new day
// numbers on from there.
//
// Open positions go on: a new day of a later date than the day it replaces
// opens with that day's open positions, by user, as yesterday's volume at
// their cost (table carried_positions, by the date they open). A new day of
// the same or an earlier date opens with what a day of its date opened with
// before (nothing, if none did): starting a date over does not start it with
// its own end. The carried positions enter the day's positions through the
// Book (BookSnapshot::carried) and its first save, and are offered again
// by load() for as long as the day has no position row.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Book.h"
#include "Records.h"
#include "SqliteDb.h"

namespace hvr::sim {

// The file is not a database, or a damaged one: the server must not start
// on it (and has written nothing to it).
class DatabaseUnreadable : public SqliteError {
public:
    using SqliteError::SqliteError;
};

class Store {
public:
    // Opens (or creates) the database at path and checks that it is whole
    // before anything is written to it. freshDay wipes the day it holds.
    // When it holds no day afterwards, a new day with tradingDate starts.
    // Throws DatabaseUnreadable for a file that is not a database or is
    // damaged, SqliteError when the file cannot be used otherwise.
    Store(const std::string& path, bool freshDay, uint32_t tradingDate);
    ~Store();

    // True when this open started a new trading day.
    bool startedNewDay() const { return startedNewDay_; }

    // The saved day, ready for the Book's constructor. Throws
    // DatabaseUnreadable when a stored record does not parse.
    BookSnapshot load();

    // Writes what changed, reading current values from book, in one
    // transaction. Throws SqliteError; nothing is written then.
    void save(const Book& book, const BookChanges& changes);

    // The stored rows of what changes names (those that have one) and the
    // stored counters: what Book::revert sets back after a failed save.
    BookSnapshot readRows(const BookChanges& changes);

private:
    struct Statements;

    void checkReadable(const std::string& path);
    // Inside the fresh-day transaction, before the old day is wiped.
    void carryPositionsInto(uint32_t tradingDate);
    void createSchema(int64_t version);
    void writeDay(const DayCounters& day);

    SqliteDb db_;
    std::unique_ptr<Statements> statements_;  // prepared once; declared after db_, so finalized first
    bool startedNewDay_ = false;
};

}  // namespace hvr::sim
