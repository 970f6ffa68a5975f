// Exclusive ownership of a trading-day database by one server process: an
// flock(2) on the file "<db>.lock" beside it, held for the lock object's
// life. The kernel drops the lock when the process ends in any way (kill -9
// included), so a restart right after a crash finds it free. The lock file
// holds the owner's pid as text and is left in place on exit (removing it
// would race with a starting server). Readers that open the database itself
// (sqlite3 read-only, `hvr-sim dump`) do not look at the lock file.
//
// flock locks belong to an open file description, so two servers in one
// process (as in tests) exclude each other too.
//
// Threads: construct and destroy on one thread.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

namespace hvr::sim {

// Another process holds the database.
class DatabaseInUse : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class DatabaseLock {
public:
    // A dying owner may take a moment to release its lock: wait this long
    // for it before giving up.
    static constexpr std::chrono::milliseconds DEFAULT_WAIT{2000};

    // Takes the lock on dbPath's lock file, creating the file when missing.
    // Throws DatabaseInUse (naming the owner's pid) when another holder keeps
    // it for longer than wait, std::runtime_error when the file cannot be
    // opened.
    explicit DatabaseLock(const std::string& dbPath, std::chrono::milliseconds wait = DEFAULT_WAIT);
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

    static std::string lockFileOf(const std::string& dbPath) { return dbPath + ".lock"; }

private:
    int fd_ = -1;
};

}  // namespace hvr::sim
