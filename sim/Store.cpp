#include "Store.h"

namespace hvr::sim {

namespace {

// Bumped whenever the tables change shape; an older file must be started
// afresh with --fresh-day.
constexpr int64_t SCHEMA_VERSION = 1;

const char* const SCHEMA = R"sql(
CREATE TABLE IF NOT EXISTS day (
  key TEXT PRIMARY KEY,
  value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS accounts (
  accountid INTEGER PRIMARY KEY,
  user TEXT NOT NULL UNIQUE,
  prebalance INTEGER NOT NULL,
  closeprofit INTEGER NOT NULL,
  commission INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS orders (
  orderid INTEGER PRIMARY KEY,
  accountid INTEGER NOT NULL,
  record BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS trades (
  tradeid INTEGER PRIMARY KEY,
  accountid INTEGER NOT NULL,
  record BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS positions (
  accountid INTEGER NOT NULL,
  instrument TEXT NOT NULL,
  direct INTEGER NOT NULL,
  prevolume INTEGER NOT NULL,
  newvolume INTEGER NOT NULL,
  amount INTEGER NOT NULL,
  margin INTEGER NOT NULL,
  PRIMARY KEY (accountid, instrument, direct));
CREATE TABLE IF NOT EXISTS pushes (
  accountid INTEGER NOT NULL,
  pushid INTEGER NOT NULL,
  mtype INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY (accountid, pushid));
)sql";

// Kept across --fresh-day: the highest push id each user was ever given on
// a date, so that a new day on the same date goes on above it.
const char* const PUSH_FLOOR_TABLE = R"sql(
CREATE TABLE IF NOT EXISTS push_floor (
  trading_date INTEGER NOT NULL,
  user TEXT NOT NULL,
  last_pushid INTEGER NOT NULL,
  PRIMARY KEY (trading_date, user));
)sql";

// Folds the pushes of the day about to be wiped into push_floor.
const char* const RECORD_PUSH_FLOOR = R"sql(
INSERT INTO push_floor (trading_date, user, last_pushid)
  SELECT d.value, a.user, MAX(p.pushid)
  FROM pushes p JOIN accounts a ON a.accountid = p.accountid JOIN day d ON d.key = 'trading_date'
  WHERE true
  GROUP BY d.value, a.user
  ON CONFLICT (trading_date, user) DO UPDATE SET last_pushid = MAX(last_pushid, excluded.last_pushid);
)sql";

int64_t readVersion(SqliteDb& db) {
    SqliteStatement s = db.prepare("PRAGMA user_version");
    return s.step() ? s.columnInt(0) : 0;
}

}  // namespace

Store::Store(const std::string& path, bool freshDay, uint32_t tradingDate) : db_(path) {
    db_.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    const int64_t version = readVersion(db_);
    if (version != 0 && version != SCHEMA_VERSION && !freshDay)
        throw SqliteError("database \"" + path + "\" has schema version " + std::to_string(version) +
                          ", this server writes " + std::to_string(SCHEMA_VERSION) + "; start with --fresh-day");
    if (freshDay) {
        SqliteTransaction tx(db_);
        db_.exec(PUSH_FLOOR_TABLE);
        if (version == SCHEMA_VERSION) db_.exec(RECORD_PUSH_FLOOR);
        db_.exec("DROP TABLE IF EXISTS day; DROP TABLE IF EXISTS accounts; DROP TABLE IF EXISTS orders;"
                 "DROP TABLE IF EXISTS trades; DROP TABLE IF EXISTS positions; DROP TABLE IF EXISTS pushes;");
        tx.commit();
    }
    createSchema();

    SqliteStatement dated = db_.prepare("SELECT value FROM day WHERE key = 'trading_date'");
    if (!dated.step()) {
        DayCounters day;
        day.tradingDate = tradingDate;
        SqliteTransaction tx(db_);
        writeDay(day);
        tx.commit();
        startedNewDay_ = true;
    }
}

void Store::createSchema() {
    db_.exec(SCHEMA);
    db_.exec(PUSH_FLOOR_TABLE);
    db_.exec("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION));
}

void Store::writeDay(const DayCounters& day) {
    SqliteStatement put = db_.prepare("INSERT OR REPLACE INTO day (key, value) VALUES (?1, ?2)");
    put.bind(1, std::string("trading_date")).bind(2, int64_t{day.tradingDate}).run();
    put.bind(1, std::string("next_order_id")).bind(2, int64_t{day.nextOrderId}).run();
    put.bind(1, std::string("next_trade_id")).bind(2, int64_t{day.nextTradeId}).run();
    put.bind(1, std::string("next_session_id")).bind(2, int64_t{day.nextSessionId}).run();
}

BookSnapshot Store::load() {
    BookSnapshot snap;
    SqliteStatement day = db_.prepare("SELECT key, value FROM day");
    while (day.step()) {
        const std::string key = day.columnText(0);
        const auto value = static_cast<uint32_t>(day.columnInt(1));
        if (key == "trading_date") snap.day.tradingDate = value;
        else if (key == "next_order_id") snap.day.nextOrderId = value;
        else if (key == "next_trade_id") snap.day.nextTradeId = value;
        else if (key == "next_session_id") snap.day.nextSessionId = value;
    }

    SqliteStatement floors = db_.prepare("SELECT user, last_pushid FROM push_floor WHERE trading_date = ?1");
    floors.bind(1, int64_t{snap.day.tradingDate});
    while (floors.step()) snap.pushFloors[floors.columnText(0)] = static_cast<uint64_t>(floors.columnInt(1));

    SqliteStatement accounts =
        db_.prepare("SELECT accountid, user, prebalance, closeprofit, commission FROM accounts ORDER BY accountid");
    while (accounts.step()) {
        AccountFunds f;
        f.accountId = static_cast<uint32_t>(accounts.columnInt(0));
        f.user = accounts.columnText(1);
        f.preBalance = accounts.columnInt(2);
        f.closeProfit = accounts.columnInt(3);
        f.commission = accounts.columnInt(4);
        snap.accounts.push_back(std::move(f));
    }

    SqliteStatement orders = db_.prepare("SELECT orderid, record FROM orders ORDER BY orderid");
    while (orders.step()) {
        exchg::Order o;
        if (!o.ParseFromString(orders.columnBlob(1)))
            throw SqliteError("order " + std::to_string(orders.columnInt(0)) + " is unreadable");
        snap.orders.push_back(std::move(o));
    }

    SqliteStatement trades = db_.prepare("SELECT tradeid, record FROM trades ORDER BY tradeid");
    while (trades.step()) {
        exchg::Trade t;
        if (!t.ParseFromString(trades.columnBlob(1)))
            throw SqliteError("trade " + std::to_string(trades.columnInt(0)) + " is unreadable");
        snap.trades.push_back(std::move(t));
    }

    SqliteStatement positions = db_.prepare(
        "SELECT accountid, instrument, direct, prevolume, newvolume, amount, margin FROM positions");
    while (positions.step()) {
        PositionState p;
        p.key.accountId = static_cast<uint32_t>(positions.columnInt(0));
        p.key.instrument = positions.columnText(1);
        p.key.direct = static_cast<exchg::DirectionType>(positions.columnInt(2));
        p.preVolume = static_cast<uint32_t>(positions.columnInt(3));
        p.newVolume = static_cast<uint32_t>(positions.columnInt(4));
        p.amount = positions.columnInt(5);
        p.margin = positions.columnInt(6);
        snap.positions.push_back(std::move(p));
    }

    SqliteStatement pushes =
        db_.prepare("SELECT accountid, pushid, mtype, data FROM pushes ORDER BY accountid, pushid");
    while (pushes.step()) {
        PushRecord r;
        r.accountId = static_cast<uint32_t>(pushes.columnInt(0));
        r.pushId = static_cast<uint64_t>(pushes.columnInt(1));
        r.mtype = static_cast<uint32_t>(pushes.columnInt(2));
        r.data = pushes.columnBlob(3);
        snap.pushes.push_back(std::move(r));
    }
    return snap;
}

void Store::save(const Book& book, const BookChanges& changes) {
    if (changes.empty()) return;
    SqliteTransaction tx(db_);
    if (changes.day) writeDay(book.day());

    SqliteStatement putAccount = db_.prepare(
        "INSERT OR REPLACE INTO accounts (accountid, user, prebalance, closeprofit, commission) "
        "VALUES (?1, ?2, ?3, ?4, ?5)");
    for (uint32_t id : changes.accounts) {
        const AccountFunds* f = book.funds(id);
        if (!f) continue;
        putAccount.bind(1, int64_t{f->accountId}).bind(2, f->user).bind(3, f->preBalance);
        putAccount.bind(4, f->closeProfit).bind(5, f->commission).run();
    }

    SqliteStatement putOrder =
        db_.prepare("INSERT OR REPLACE INTO orders (orderid, accountid, record) VALUES (?1, ?2, ?3)");
    for (uint32_t id : changes.orders) {
        const exchg::Order* o = book.order(id);
        if (!o) continue;
        putOrder.bind(1, int64_t{id}).bind(2, int64_t{o->accountid()}).bindBlob(3, o->SerializeAsString()).run();
    }

    SqliteStatement putTrade =
        db_.prepare("INSERT OR REPLACE INTO trades (tradeid, accountid, record) VALUES (?1, ?2, ?3)");
    for (uint32_t id : changes.trades) {
        const exchg::Trade* t = book.trade(id);
        if (!t) continue;
        putTrade.bind(1, int64_t{id}).bind(2, int64_t{t->accountid()}).bindBlob(3, t->SerializeAsString()).run();
    }

    SqliteStatement putPosition = db_.prepare(
        "INSERT OR REPLACE INTO positions (accountid, instrument, direct, prevolume, newvolume, amount, margin) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    for (const PositionKey& key : changes.positions) {
        const PositionState* p = book.position(key);
        if (!p) continue;
        putPosition.bind(1, int64_t{key.accountId}).bind(2, key.instrument).bind(3, int64_t{key.direct});
        putPosition.bind(4, int64_t{p->preVolume}).bind(5, int64_t{p->newVolume});
        putPosition.bind(6, p->amount).bind(7, p->margin).run();
    }

    SqliteStatement putPush =
        db_.prepare("INSERT INTO pushes (accountid, pushid, mtype, data) VALUES (?1, ?2, ?3, ?4)");
    for (const PushRecord& r : changes.pushes) {
        putPush.bind(1, int64_t{r.accountId}).bind(2, static_cast<int64_t>(r.pushId));
        putPush.bind(3, int64_t{r.mtype}).bindBlob(4, r.data).run();
    }
    tx.commit();
}

}  // namespace hvr::sim
