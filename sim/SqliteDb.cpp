#include "SqliteDb.h"

#include <sqlite3.h>

namespace hvr::sim {

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw SqliteError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

SqliteStatement::SqliteStatement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
        fail(db_, "cannot prepare \"" + sql + "\"");
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement& SqliteStatement::bind(int index, int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) fail(db_, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, const std::string& text) {
    if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        fail(db_, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::bindBlob(int index, const std::string& bytes) {
    if (sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK)
        fail(db_, "bind");
    return *this;
}

bool SqliteStatement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(db_, "step");
}

void SqliteStatement::run() {
    try {
        while (step()) {
        }
    } catch (const SqliteError&) {
        reset();  // a failed statement is used again by the next save
        throw;
    }
    reset();
}

void SqliteStatement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int64_t SqliteStatement::columnInt(int index) const { return sqlite3_column_int64(stmt_, index); }

std::string SqliteStatement::columnText(int index) const {
    const auto* text = sqlite3_column_text(stmt_, index);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt_, index))
                : std::string();
}

std::string SqliteStatement::columnBlob(int index) const {
    const void* blob = sqlite3_column_blob(stmt_, index);
    return blob ? std::string(static_cast<const char*>(blob), sqlite3_column_bytes(stmt_, index))
                : std::string();
}

SqliteDb::SqliteDb(const std::string& path, Access access) {
    const int flags = access == Access::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw SqliteError("cannot open database \"" + path + "\": " + why);
    }
    sqlite3_busy_timeout(db_, 2000);
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

void SqliteDb::exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string why = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw SqliteError(why);
    }
}

SqliteTransaction::SqliteTransaction(SqliteDb& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

SqliteTransaction::~SqliteTransaction() {
    if (done_) return;
    try {
        db_.exec("ROLLBACK");
    } catch (const SqliteError&) {
        // Nothing more to undo: SQLite already rolled back on the failure.
    }
}

void SqliteTransaction::commit() {
    db_.exec("COMMIT");
    done_ = true;
}

}  // namespace hvr::sim
