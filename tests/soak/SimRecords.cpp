#include "SimRecords.h"

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "exchg_peer.pb.h"

namespace hvr::soak {

namespace {

// A read-only connection; every statement retries while the writer holds
// the file for a moment.
class ReadOnlyDb {
public:
    explicit ReadOnlyDb(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
            sqlite3_close(db);
            throw std::runtime_error("cannot open " + path + " read-only: " + why);
        }
        sqlite3_busy_timeout(db, 2000);
    }
    ~ReadOnlyDb() { sqlite3_close(db); }
    ReadOnlyDb(const ReadOnlyDb&) = delete;
    ReadOnlyDb& operator=(const ReadOnlyDb&) = delete;

    // Runs sql with one optional integer or text parameter and calls row for
    // each result row. The whole statement is retried on SQLITE_BUSY.
    template <typename Row>
    void query(const char* sql, const std::string* text, const int64_t* number, Row row) {
        for (int attempt = 0;; ++attempt) {
            sqlite3_stmt* raw = nullptr;
            int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
            // Finalized however the rows end, also when row() throws, so the
            // database can be closed.
            std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
            if (rc == SQLITE_OK) {
                if (text) sqlite3_bind_text(raw, 1, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
                if (number) sqlite3_bind_int64(raw, 1, *number);
                while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
            }
            stmt.reset();
            if (rc == SQLITE_DONE) return;
            if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && attempt < 20) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            throw std::runtime_error(std::string("reading the simulator database: ") + sqlite3_errmsg(db));
        }
    }

private:
    sqlite3* db = nullptr;
};

std::string blobOf(sqlite3_stmt* stmt, int column) {
    const void* bytes = sqlite3_column_blob(stmt, column);
    return bytes ? std::string(static_cast<const char*>(bytes), sqlite3_column_bytes(stmt, column)) : std::string();
}

PushKey keyOfStored(uint32_t mtype, const std::string& data, uint64_t pushId) {
    PushKey key;
    key.mtype = mtype;
    if (mtype == PUSH_ORDER) {
        exchg_peer::Order order;
        if (!order.ParseFromString(data)) throw std::runtime_error("push " + std::to_string(pushId) + " is unreadable");
        key.id = order.orderid();
        key.state = static_cast<uint32_t>(order.status());
        key.traded = order.tradedvol();
        key.left = order.leftover();
    } else if (mtype == PUSH_TRADE) {
        exchg_peer::Trade trade;
        if (!trade.ParseFromString(data)) throw std::runtime_error("push " + std::to_string(pushId) + " is unreadable");
        key.id = trade.tradeid();
    }
    return key;
}

}  // namespace

StoredDay readStoredDay(const std::string& dbPath, const std::string& user) {
    StoredDay day;
    ReadOnlyDb db(dbPath);
    db.query("SELECT accountid FROM accounts WHERE user = ?1", &user, nullptr,
             [&](sqlite3_stmt* s) { day.accountId = static_cast<uint32_t>(sqlite3_column_int64(s, 0)); });
    if (day.accountId == 0) return day;
    const int64_t account = day.accountId;
    db.query("SELECT pushid, mtype, data FROM pushes WHERE accountid = ?1 ORDER BY pushid", nullptr, &account,
             [&](sqlite3_stmt* s) {
                 StoredPush push;
                 push.pushId = static_cast<uint64_t>(sqlite3_column_int64(s, 0));
                 push.key = keyOfStored(static_cast<uint32_t>(sqlite3_column_int64(s, 1)), blobOf(s, 2), push.pushId);
                 day.pushes.push_back(push);
             });
    db.query("SELECT orderid, record FROM orders WHERE accountid = ?1 ORDER BY orderid", nullptr, &account,
             [&](sqlite3_stmt* s) {
                 exchg_peer::Order order;
                 if (!order.ParseFromString(blobOf(s, 1)))
                     throw std::runtime_error("order " + std::to_string(sqlite3_column_int64(s, 0)) + " is unreadable");
                 day.orders.push_back({order.orderid(), order.usertag()});
             });
    return day;
}

std::map<uint32_t, int64_t> parseLoginResumes(const std::string& logText, const std::string& user) {
    std::map<uint32_t, int64_t> resumes;
    const std::string marker = " login ok " + user + " session ";
    std::istringstream lines(logText);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        unsigned long session = 0;
        long long resume = 0;
        if (std::sscanf(line.c_str() + at + marker.size(), "%lu, resume from push %lld", &session, &resume) == 2)
            resumes[static_cast<uint32_t>(session)] = resume;
    }
    return resumes;
}

std::string readFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace

std::vector<SimConnection> parseRequestJournal(const std::string& text) {
    std::vector<SimConnection> connections;
    std::map<std::string, std::size_t> index;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        long long at = 0;
        std::string what, conn;
        if (!(words >> at >> what >> conn)) continue;
        if (what == "accept") {
            SimConnection c;
            c.id = conn;
            unsigned port = 0;
            if (!(words >> port >> c.fault)) continue;
            c.peerPort = static_cast<uint16_t>(port);
            c.accepted = at;
            index[conn] = connections.size();
            connections.push_back(c);
            continue;
        }
        auto known = index.find(conn);
        if (known == index.end()) continue;
        SimConnection& c = connections[known->second];
        if (what == "read") {
            long long bytes = 0, started = 0;
            int drained = 0;
            if (!(words >> bytes >> started >> drained)) continue;
            c.lastRead = at;
            if (drained == 1) c.drainedFrom = started;
        } else if (what == "in") {
            SimRequest r;
            unsigned code = 0;
            unsigned long number = 0;
            std::string fate, key;
            if (!(words >> code >> number >> fate >> key)) continue;
            r.at = at;
            r.code = static_cast<uint16_t>(code);
            r.requestNo = static_cast<uint32_t>(number);
            r.handled = fate == "handled";
            r.key = key == "-" ? std::string() : unescaped(key);
            c.requests.push_back(r);
        } else if (what == "close") {
            c.closed = at;
            std::getline(words >> std::ws, c.closeWhy);
            c.closeWhy = unescaped(c.closeWhy);
        }
    }
    return connections;
}

std::vector<SimConnection> readRequestJournal(const std::string& path) {
    return parseRequestJournal(readFileText(path));
}

int64_t readFlowPushId(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char bytes[8];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) return -1;
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return static_cast<int64_t>(value);
}

}  // namespace hvr::soak
