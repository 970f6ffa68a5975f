// A thin RAII layer over the SQLite C API: a connection, prepared statements
// and a transaction guard. Every failure throws SqliteError with SQLite's own
// message. One thread uses a connection and its statements; statements must
// not outlive the SqliteDb that prepared them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace hvr::sim {

class SqliteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const std::string& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Parameters count from 1, as in SQLite.
    SqliteStatement& bind(int index, int64_t value);
    SqliteStatement& bind(int index, const std::string& text);
    SqliteStatement& bindBlob(int index, const std::string& bytes);

    // Steps once: true while a row is available, false when done.
    bool step();
    // Runs a statement that returns no rows, then resets it for reuse.
    void run();
    void reset();

    int64_t columnInt(int index) const;  // columns count from 0
    std::string columnText(int index) const;
    std::string columnBlob(int index) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDb {
public:
    enum class Access { ReadWrite, ReadOnly };

    // Opens the database file at path: read-write, creating it when
    // missing; or read-only, failing when it is missing.
    explicit SqliteDb(const std::string& path, Access access = Access::ReadWrite);
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // Runs one or more statements that return no rows.
    void exec(const std::string& sql);
    SqliteStatement prepare(const std::string& sql) { return SqliteStatement(db_, sql); }

private:
    sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE on construction; ROLLBACK on destruction unless commit()
// ran. Not nestable.
class SqliteTransaction {
public:
    explicit SqliteTransaction(SqliteDb& db);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    void commit();

private:
    SqliteDb& db_;
    bool done_ = false;
};

}  // namespace hvr::sim
