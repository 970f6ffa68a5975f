// Reading the simulator's stored day: only the soak account's pushes and
// orders, decoded into the keys the host deliveries are matched by; and the
// flow file's push id.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <stdexcept>

#include "SimRecords.h"
#include "exchg_peer.pb.h"
#include "tests/support/TempDir.h"

namespace hvr::soak {
namespace {

std::string orderRecord(uint32_t account, uint32_t id, exchg_peer::OrderState state, uint32_t traded,
                        const std::string& tag) {
    exchg_peer::Order o;
    o.set_accountid(account);
    o.set_orderid(id);
    o.set_instrument("IF2412");
    o.set_price(35000000);
    o.set_qty(2);
    o.set_ordertype(exchg_peer::OT_Normal);
    o.set_direct(exchg_peer::DT_Long);
    o.set_pxtype(exchg_peer::PT_LimitPrice);
    o.set_timecond(exchg_peer::TC_ValidInDay);
    o.set_offset(exchg_peer::OF_Open);
    o.set_ordertime(1);
    o.set_tradedvol(traded);
    o.set_leftover(2 - traded);
    o.set_status(state);
    o.set_margin(0);
    o.set_leftmargin(0);
    o.set_commission(0);
    o.set_leftcommission(0);
    o.set_tradingdate(20261208);
    o.set_usertag(tag);
    return o.SerializeAsString();
}

std::string tradeRecord(uint32_t account, uint32_t id, uint32_t order) {
    exchg_peer::Trade t;
    t.set_accountid(account);
    t.set_tradeid(id);
    t.set_orderid(order);
    t.set_instrument("IF2412");
    t.set_price(35000000);
    t.set_qty(2);
    t.set_direct(exchg_peer::DT_Long);
    t.set_offset(exchg_peer::OF_Open);
    t.set_amount(0);
    t.set_commission(0);
    t.set_closeprofit(0);
    t.set_tradetime(1);
    t.set_tradingdate(20261208);
    t.set_ordertype(exchg_peer::OT_Normal);
    t.set_usertag("soak-a");
    return t.SerializeAsString();
}

// The tables the simulator keeps, reduced to the columns read here.
class StoredDayFile {
public:
    explicit StoredDayFile(const std::string& path) : path(path) {
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot create " + path);
        exec(
            "CREATE TABLE accounts (accountid INTEGER PRIMARY KEY, user TEXT NOT NULL UNIQUE);"
            "CREATE TABLE orders (orderid INTEGER PRIMARY KEY, accountid INTEGER NOT NULL, record BLOB NOT NULL);"
            "CREATE TABLE pushes (accountid INTEGER NOT NULL, pushid INTEGER NOT NULL, mtype INTEGER NOT NULL,"
            " data BLOB NOT NULL, PRIMARY KEY (accountid, pushid));"
            "INSERT INTO accounts VALUES (1, 'demo'), (2, 'soak');");
    }
    ~StoredDayFile() { sqlite3_close(db); }
    void exec(const std::string& sql) {
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    void put(const char* sql, int64_t a, int64_t b, int64_t c, const std::string& blob) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        sqlite3_bind_int64(stmt, 1, a);
        sqlite3_bind_int64(stmt, 2, b);
        sqlite3_bind_int64(stmt, 3, c);
        sqlite3_bind_blob(stmt, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    }
    void push(int64_t account, int64_t id, int64_t mtype, const std::string& data) {
        put("INSERT INTO pushes VALUES (?1, ?2, ?3, ?4)", account, id, mtype, data);
    }
    void order(int64_t id, int64_t account, const std::string& record) {
        put("INSERT INTO orders VALUES (?1, ?2, ?4)", id, account, 0, record);
    }

    const std::string path;

private:
    sqlite3* db = nullptr;
};

TEST(SimRecords, ReadsOnlyTheAccountsPushesAndOrdersAsKeys) {
    test::TempDir dir;
    StoredDayFile file(dir.prefix() + "sim.db");
    file.push(2, 1, PUSH_ORDER, orderRecord(2, 7, exchg_peer::OS_NotTradedQueuing, 0, "soak-a"));
    file.push(2, 2, PUSH_TRADE, tradeRecord(2, 3, 7));
    file.push(2, 3, PUSH_ORDER, orderRecord(2, 7, exchg_peer::OS_AllTraded, 2, "soak-a"));
    file.push(1, 1, PUSH_ORDER, orderRecord(1, 8, exchg_peer::OS_NotTradedQueuing, 0, "other"));
    file.order(7, 2, orderRecord(2, 7, exchg_peer::OS_AllTraded, 2, "soak-a"));
    file.order(8, 1, orderRecord(1, 8, exchg_peer::OS_NotTradedQueuing, 0, "other"));

    const StoredDay day = readStoredDay(file.path, "soak");
    EXPECT_EQ(day.accountId, 2u);
    ASSERT_EQ(day.pushes.size(), 3u);
    EXPECT_EQ(day.maxPushId(), 3u);
    EXPECT_EQ(day.pushes[0].key, (PushKey{PUSH_ORDER, 7, exchg_peer::OS_NotTradedQueuing, 0, 2}));
    EXPECT_EQ(day.pushes[1].key, (PushKey{PUSH_TRADE, 3, 0, 0, 0}));
    EXPECT_EQ(day.pushes[2].key, (PushKey{PUSH_ORDER, 7, exchg_peer::OS_AllTraded, 2, 0}));
    ASSERT_EQ(day.orders.size(), 1u);
    EXPECT_EQ(day.orders[0].orderId, 7u);
    EXPECT_EQ(day.orders[0].tag, "soak-a");

    EXPECT_EQ(readStoredDay(file.path, "nobody").accountId, 0u);
}

TEST(SimRecords, UnreadableStoredPushIsAnError) {
    test::TempDir dir;
    StoredDayFile file(dir.prefix() + "sim.db");
    file.push(2, 1, PUSH_ORDER, "\xff\xff not an order");
    EXPECT_THROW(readStoredDay(file.path, "soak"), std::runtime_error);
    EXPECT_THROW(readStoredDay(dir.prefix() + "missing.db", "soak"), std::runtime_error);
}

TEST(SimRecords, FlowPushIdIsTheFirstEightBytesLittleEndian) {
    test::TempDir dir;
    const std::string flow = dir.prefix() + "soak.flow";
    {
        std::ofstream out(flow, std::ios::binary);
        const unsigned char bytes[12] = {0x39, 0x30, 0, 0, 0, 0, 0, 0, 0xd8, 0x29, 0x35, 0x01};
        out.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    }
    EXPECT_EQ(readFlowPushId(flow), 12345);
    {
        std::ofstream out(flow, std::ios::binary | std::ios::trunc);
        out.write("\x01\x02\x03", 3);
    }
    EXPECT_EQ(readFlowPushId(flow), -1);
    EXPECT_EQ(readFlowPushId(dir.prefix() + "none.flow"), -1);
}

TEST(SimRecords, RequestJournalGivesEachConnectionWhatItReadAndWhen) {
    const std::string text =
        "100 accept 7.1 40000 none\n"
        "110 read 7.1 32 105 0\n"
        "111 in 7.1 2 1 handled soak-a%20b\n"
        "112 in 7.1 1 2 handled res/42\n"
        "120 read 7.1 16 115 1\n"
        "121 in 7.1 35 3 discarded -\n"
        "130 accept 7.2 40002 stall:1500\n"
        "140 close 7.1 closed%20by%20the%20client\n"
        "150 in 7.9 2 1 handled unknown-connection\n"
        "160 in 7.2 3 4 handl";  // cut short by a kill
    const std::vector<SimConnection> connections = parseRequestJournal(text);
    ASSERT_EQ(connections.size(), 2u);
    const SimConnection& first = connections[0];
    EXPECT_EQ(first.id, "7.1");
    EXPECT_EQ(first.peerPort, 40000);
    EXPECT_EQ(first.fault, "none");
    EXPECT_EQ(first.accepted, 100);
    EXPECT_EQ(first.drainedFrom, 115);  // the read that left nothing waiting was asked for at 115
    EXPECT_EQ(first.closed, 140);
    EXPECT_EQ(first.closeWhy, "closed by the client");
    ASSERT_EQ(first.requests.size(), 3u);
    EXPECT_EQ(first.requests[0].key, "soak-a b");
    EXPECT_EQ(first.requests[1].key, "res/42");
    EXPECT_EQ(first.requests[1].requestNo, 2u);
    EXPECT_FALSE(first.requests[2].handled);
    EXPECT_TRUE(first.requests[2].key.empty());
    EXPECT_EQ(connections[1].fault, "stall:1500");
    EXPECT_TRUE(connections[1].requests.empty());
    EXPECT_EQ(connections[1].closed, 0);
}

}  // namespace
}  // namespace hvr::soak
