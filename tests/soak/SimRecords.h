// What the simulator itself knows, read after a round: the pushes and orders
// of one account from its SQLite trading day, the push id each login resumed
// from, from its event log, and what reached it on which connection, from its
// request journal (sim/RequestJournal.h).
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
    uint32_t day = 0;  // of the run, as in PushKey
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
// "login ok <user> session N, resume from push M" line of the simulator
// log's text.
std::map<uint32_t, int64_t> parseLoginResumes(const std::string& logText, const std::string& user);

// The whole file; empty when it cannot be read.
std::string readFileText(const std::string& path);

// One request packet as the simulator's journal names it.
struct SimRequest {
    Nanos at = 0;
    uint16_t code = 0;
    uint32_t requestNo = 0;
    bool handled = true;  // false: read and discarded (past --drop-after)
    std::string key;      // an order's tag, a cancel's order id, a login's "resource/pushid"; else "-"
};

// One connection the simulator accepted, with what it read on it.
struct SimConnection {
    std::string id;  // PID.N
    uint16_t peerPort = 0;
    std::string fault;  // "none", or the connection fault it got
    Nanos accepted = 0;
    // When the last receive that left nothing waiting was asked for: every
    // byte the client had written before then was read. 0: none.
    Nanos drainedFrom = 0;
    Nanos lastRead = 0;
    Nanos closed = 0;  // 0: never closed by the simulator itself (killed, or still open)
    std::string closeWhy;
    std::vector<SimRequest> requests;
};

// The connections of a request journal in the order they were accepted;
// lines cut short (by a kill) are skipped.
std::vector<SimConnection> parseRequestJournal(const std::string& text);
std::vector<SimConnection> readRequestJournal(const std::string& path);

// The push id in the first 8 bytes (little-endian) of a flow file; -1 when
// the file is missing or shorter.
int64_t readFlowPushId(const std::string& path);

}  // namespace hvr::soak
