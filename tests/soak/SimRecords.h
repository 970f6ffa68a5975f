// What the simulator itself knows, read after a round: the pushes and orders
// of one account from its SQLite trading day, and the push id each login
// resumed from, from its event log.
//
// The database is opened read-only while the simulator may still be running
// (it writes in WAL mode, so a reader never blocks it); SQLITE_BUSY is
// retried. Stored records are decoded with the peer copy of the schema: this
// process has the module loaded, which carries the exchg package itself.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Journal.h"

namespace hvr::soak {

struct StoredPush {
    uint64_t pushId = 0;
    PushKey key;
};

struct StoredOrder {
    uint32_t orderId = 0;
    std::string tag;
};

struct StoredDay {
    uint32_t accountId = 0;          // 0: the account has never logged in
    std::vector<StoredPush> pushes;  // in push-id order
    std::vector<StoredOrder> orders;
    uint64_t maxPushId() const { return pushes.empty() ? 0 : pushes.back().pushId; }
};

// Throws std::runtime_error when the file cannot be read or a record does
// not decode.
StoredDay readStoredDay(const std::string& dbPath, const std::string& user);

// session id -> the push id its login asked to resume from, for every
// "login ok <user> session N, resume from push M" line of the simulator log.
std::map<uint32_t, int64_t> readLoginResumes(const std::string& logPath, const std::string& user);

// The same from text, for tests.
std::map<uint32_t, int64_t> parseLoginResumes(const std::string& logText, const std::string& user);

// The push id in the first 8 bytes (little-endian) of a flow file; -1 when
// the file is missing or shorter.
int64_t readFlowPushId(const std::string& path);

}  // namespace hvr::soak
