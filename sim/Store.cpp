#include "Store.h"

namespace hvr::sim {

namespace {

// Bumped whenever the tables change shape; an older file must be started
// afresh with --fresh-day. Tables added later are created when missing.
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

// Kept across --fresh-day. push_floor: the highest push id each user was
// given on each date; a new day goes on above the highest of any date, so a
// client's record of an earlier day never hides the new day's pushes.
// id_floor: the next order, trade and session ids a day of each date
// reached; a new day on a date seen before goes on from there, so entrust
// tags and order ids are not issued twice on one date.
const char* const FLOOR_TABLES = R"sql(
CREATE TABLE IF NOT EXISTS push_floor (
  trading_date INTEGER NOT NULL,
  user TEXT NOT NULL,
  last_pushid INTEGER NOT NULL,
  PRIMARY KEY (trading_date, user));
CREATE TABLE IF NOT EXISTS id_floor (
  trading_date INTEGER PRIMARY KEY,
  next_order_id INTEGER NOT NULL,
  next_trade_id INTEGER NOT NULL,
  next_session_id INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS carried_positions (
  trading_date INTEGER NOT NULL,
  user TEXT NOT NULL,
  instrument TEXT NOT NULL,
  direct INTEGER NOT NULL,
  volume INTEGER NOT NULL,
  amount INTEGER NOT NULL,
  margin INTEGER NOT NULL,
  PRIMARY KEY (trading_date, user, instrument, direct));
)sql";

// The open positions of the day about to be wiped, as what a day of date ?1
// opens with.
const char* const CARRY_POSITIONS = R"sql(
INSERT INTO carried_positions (trading_date, user, instrument, direct, volume, amount, margin)
  SELECT ?1, a.user, p.instrument, p.direct, p.prevolume + p.newvolume, p.amount, p.margin
  FROM positions p JOIN accounts a ON a.accountid = p.accountid
  WHERE p.prevolume + p.newvolume > 0
)sql";

// Folds the day about to be wiped into the floors.
const char* const RECORD_FLOORS = R"sql(
INSERT INTO push_floor (trading_date, user, last_pushid)
  SELECT d.value, a.user, MAX(p.pushid)
  FROM pushes p JOIN accounts a ON a.accountid = p.accountid JOIN day d ON d.key = 'trading_date'
  WHERE true
  GROUP BY d.value, a.user
  ON CONFLICT (trading_date, user) DO UPDATE SET last_pushid = MAX(last_pushid, excluded.last_pushid);
INSERT INTO id_floor (trading_date, next_order_id, next_trade_id, next_session_id)
  SELECT d.value,
         (SELECT value FROM day WHERE key = 'next_order_id'),
         (SELECT value FROM day WHERE key = 'next_trade_id'),
         (SELECT value FROM day WHERE key = 'next_session_id')
  FROM day d WHERE d.key = 'trading_date'
  ON CONFLICT (trading_date) DO UPDATE SET
    next_order_id = MAX(next_order_id, excluded.next_order_id),
    next_trade_id = MAX(next_trade_id, excluded.next_trade_id),
    next_session_id = MAX(next_session_id, excluded.next_session_id);
)sql";

int64_t readVersion(SqliteDb& db) {
    SqliteStatement s = db.prepare("PRAGMA user_version");
    return s.step() ? s.columnInt(0) : 0;
}

DayCounters readDay(SqliteDb& db) {
    DayCounters day;
    SqliteStatement rows = db.prepare("SELECT key, value FROM day");
    while (rows.step()) {
        const std::string key = rows.columnText(0);
        const auto value = static_cast<uint32_t>(rows.columnInt(1));
        if (key == "trading_date") day.tradingDate = value;
        else if (key == "next_order_id") day.nextOrderId = value;
        else if (key == "next_trade_id") day.nextTradeId = value;
        else if (key == "next_session_id") day.nextSessionId = value;
    }
    return day;
}

// Row readers; each takes the columns in the order the SELECTs below list them.
AccountFunds accountRow(const SqliteStatement& s) {
    AccountFunds f;
    f.accountId = static_cast<uint32_t>(s.columnInt(0));
    f.user = s.columnText(1);
    f.preBalance = s.columnInt(2);
    f.closeProfit = s.columnInt(3);
    f.commission = s.columnInt(4);
    return f;
}

template <typename Record>
Record recordRow(const SqliteStatement& s, const char* what) {
    Record r;
    if (!r.ParseFromString(s.columnBlob(1)))
        throw DatabaseUnreadable(std::string(what) + " " + std::to_string(s.columnInt(0)) + " is unreadable");
    return r;
}

PositionState positionRow(const SqliteStatement& s) {
    PositionState p;
    p.key.accountId = static_cast<uint32_t>(s.columnInt(0));
    p.key.instrument = s.columnText(1);
    p.key.direct = static_cast<exchg::DirectionType>(s.columnInt(2));
    p.preVolume = static_cast<uint32_t>(s.columnInt(3));
    p.newVolume = static_cast<uint32_t>(s.columnInt(4));
    p.amount = s.columnInt(5);
    p.margin = s.columnInt(6);
    return p;
}

const char* const ACCOUNT_COLUMNS = "SELECT accountid, user, prebalance, closeprofit, commission FROM accounts";
const char* const POSITION_COLUMNS =
    "SELECT accountid, instrument, direct, prevolume, newvolume, amount, margin FROM positions";

// Steps a keyed SELECT once and hands its row, if any, to take; then resets it.
template <typename Take>
void readOne(SqliteStatement& s, Take take) {
    try {
        if (s.step()) take(s);
    } catch (const SqliteError&) {
        s.reset();
        throw;
    }
    s.reset();
}

}  // namespace

// Every statement a save or a revert runs, prepared once.
struct Store::Statements {
    explicit Statements(SqliteDb& db)
        : putDay(db.prepare("INSERT OR REPLACE INTO day (key, value) VALUES (?1, ?2)")),
          putAccount(db.prepare("INSERT OR REPLACE INTO accounts (accountid, user, prebalance, closeprofit, "
                                "commission) VALUES (?1, ?2, ?3, ?4, ?5)")),
          putOrder(db.prepare("INSERT OR REPLACE INTO orders (orderid, accountid, record) VALUES (?1, ?2, ?3)")),
          putTrade(db.prepare("INSERT OR REPLACE INTO trades (tradeid, accountid, record) VALUES (?1, ?2, ?3)")),
          putPosition(db.prepare("INSERT OR REPLACE INTO positions (accountid, instrument, direct, prevolume, "
                                 "newvolume, amount, margin) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")),
          putPush(db.prepare("INSERT INTO pushes (accountid, pushid, mtype, data) VALUES (?1, ?2, ?3, ?4)")),
          getAccount(db.prepare(std::string(ACCOUNT_COLUMNS) + " WHERE accountid = ?1")),
          getOrder(db.prepare("SELECT orderid, record FROM orders WHERE orderid = ?1")),
          getTrade(db.prepare("SELECT tradeid, record FROM trades WHERE tradeid = ?1")),
          getPosition(db.prepare(std::string(POSITION_COLUMNS) +
                                 " WHERE accountid = ?1 AND instrument = ?2 AND direct = ?3")) {}

    SqliteStatement putDay, putAccount, putOrder, putTrade, putPosition, putPush;
    SqliteStatement getAccount, getOrder, getTrade, getPosition;
};

Store::Store(const std::string& path, bool freshDay, uint32_t tradingDate) : db_(path) {
    checkReadable(path);
    db_.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    const int64_t version = readVersion(db_);
    if (version != 0 && version != SCHEMA_VERSION && !freshDay)
        throw SqliteError("database \"" + path + "\" has schema version " + std::to_string(version) +
                          ", this server writes " + std::to_string(SCHEMA_VERSION) + "; start with --fresh-day");
    if (freshDay) {
        SqliteTransaction tx(db_);
        db_.exec(FLOOR_TABLES);
        if (version == SCHEMA_VERSION) {
            db_.exec(RECORD_FLOORS);
            carryPositionsInto(tradingDate);
        }
        db_.exec("DROP TABLE IF EXISTS day; DROP TABLE IF EXISTS accounts; DROP TABLE IF EXISTS orders;"
                 "DROP TABLE IF EXISTS trades; DROP TABLE IF EXISTS positions; DROP TABLE IF EXISTS pushes;");
        tx.commit();
    }
    createSchema(version);
    statements_ = std::make_unique<Statements>(db_);

    if (readDay(db_).tradingDate == 0) {
        DayCounters day;
        day.tradingDate = tradingDate;
        SqliteStatement floor = db_.prepare(
            "SELECT next_order_id, next_trade_id, next_session_id FROM id_floor WHERE trading_date = ?1");
        floor.bind(1, int64_t{tradingDate});
        readOne(floor, [&day](const SqliteStatement& s) {
            day.nextOrderId = static_cast<uint32_t>(s.columnInt(0));
            day.nextTradeId = static_cast<uint32_t>(s.columnInt(1));
            day.nextSessionId = static_cast<uint32_t>(s.columnInt(2));
        });
        SqliteTransaction tx(db_);
        writeDay(day);
        tx.commit();
        startedNewDay_ = true;
    }
}

Store::~Store() = default;

void Store::checkReadable(const std::string& path) {
    // Reads every page's structure (not the rows' contents): a file that is
    // not a database, or whose pages are damaged, fails here, before the
    // first write could change it.
    std::string problem;
    try {
        SqliteStatement check = db_.prepare("PRAGMA quick_check");
        while (problem.empty() && check.step()) {
            const std::string row = check.columnText(0);
            if (row != "ok") problem = row;
        }
    } catch (const SqliteError& e) {
        problem = e.what();
    }
    if (!problem.empty())
        throw DatabaseUnreadable("database \"" + path + "\" is not a readable hvr-sim database (" + problem +
                                 "); it was left as it is: move it away, or start with another --db");
}

void Store::carryPositionsInto(uint32_t tradingDate) {
    const uint32_t ending = readDay(db_).tradingDate;
    if (ending == 0 || ending >= tradingDate) return;  // not yesterday: the date keeps what it opened with
    SqliteStatement forget = db_.prepare("DELETE FROM carried_positions WHERE trading_date = ?1");
    forget.bind(1, int64_t{tradingDate}).run();
    SqliteStatement carry = db_.prepare(CARRY_POSITIONS);
    carry.bind(1, int64_t{tradingDate}).run();
}

void Store::createSchema(int64_t version) {
    db_.exec(SCHEMA);
    db_.exec(FLOOR_TABLES);
    if (version != SCHEMA_VERSION) db_.exec("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION));
}

void Store::writeDay(const DayCounters& day) {
    SqliteStatement& put = statements_->putDay;
    put.bind(1, std::string("trading_date")).bind(2, int64_t{day.tradingDate}).run();
    put.bind(1, std::string("next_order_id")).bind(2, int64_t{day.nextOrderId}).run();
    put.bind(1, std::string("next_trade_id")).bind(2, int64_t{day.nextTradeId}).run();
    put.bind(1, std::string("next_session_id")).bind(2, int64_t{day.nextSessionId}).run();
}

BookSnapshot Store::load() {
    BookSnapshot snap;
    snap.day = readDay(db_);

    SqliteStatement floors = db_.prepare("SELECT user, MAX(last_pushid) FROM push_floor GROUP BY user");
    while (floors.step()) snap.pushFloors[floors.columnText(0)] = static_cast<uint64_t>(floors.columnInt(1));

    SqliteStatement accounts = db_.prepare(std::string(ACCOUNT_COLUMNS) + " ORDER BY accountid");
    while (accounts.step()) snap.accounts.push_back(accountRow(accounts));

    SqliteStatement orders = db_.prepare("SELECT orderid, record FROM orders ORDER BY orderid");
    while (orders.step()) snap.orders.push_back(recordRow<exchg::Order>(orders, "order"));

    SqliteStatement trades = db_.prepare("SELECT tradeid, record FROM trades ORDER BY tradeid");
    while (trades.step()) snap.trades.push_back(recordRow<exchg::Trade>(trades, "trade"));

    SqliteStatement positions = db_.prepare(POSITION_COLUMNS);
    while (positions.step()) snap.positions.push_back(positionRow(positions));
    if (snap.positions.empty()) {
        SqliteStatement carried = db_.prepare(
            "SELECT user, instrument, direct, volume, amount, margin FROM carried_positions "
            "WHERE trading_date = ?1 ORDER BY user, instrument, direct");
        carried.bind(1, int64_t{snap.day.tradingDate});
        while (carried.step()) {
            CarriedPosition c;
            c.user = carried.columnText(0);
            c.instrument = carried.columnText(1);
            c.direct = static_cast<exchg::DirectionType>(carried.columnInt(2));
            c.volume = static_cast<uint32_t>(carried.columnInt(3));
            c.amount = carried.columnInt(4);
            c.margin = carried.columnInt(5);
            snap.carried.push_back(std::move(c));
        }
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
    Statements& s = *statements_;
    SqliteTransaction tx(db_);
    if (changes.day) writeDay(book.day());

    for (uint32_t id : changes.accounts) {
        const AccountFunds* f = book.funds(id);
        if (!f) continue;
        s.putAccount.bind(1, int64_t{f->accountId}).bind(2, f->user).bind(3, f->preBalance);
        s.putAccount.bind(4, f->closeProfit).bind(5, f->commission).run();
    }
    for (uint32_t id : changes.orders) {
        const exchg::Order* o = book.order(id);
        if (!o) continue;
        s.putOrder.bind(1, int64_t{id}).bind(2, int64_t{o->accountid()}).bindBlob(3, o->SerializeAsString()).run();
    }
    for (uint32_t id : changes.trades) {
        const exchg::Trade* t = book.trade(id);
        if (!t) continue;
        s.putTrade.bind(1, int64_t{id}).bind(2, int64_t{t->accountid()}).bindBlob(3, t->SerializeAsString()).run();
    }
    for (const PositionKey& key : changes.positions) {
        const PositionState* p = book.position(key);
        if (!p) continue;
        s.putPosition.bind(1, int64_t{key.accountId}).bind(2, key.instrument).bind(3, int64_t{key.direct});
        s.putPosition.bind(4, int64_t{p->preVolume}).bind(5, int64_t{p->newVolume});
        s.putPosition.bind(6, p->amount).bind(7, p->margin).run();
    }
    for (const PushRecord& r : changes.pushes) {
        s.putPush.bind(1, int64_t{r.accountId}).bind(2, static_cast<int64_t>(r.pushId));
        s.putPush.bind(3, int64_t{r.mtype}).bindBlob(4, r.data).run();
    }
    tx.commit();
}

BookSnapshot Store::readRows(const BookChanges& changes) {
    Statements& s = *statements_;
    BookSnapshot rows;
    rows.day = readDay(db_);
    for (uint32_t id : changes.accounts) {
        s.getAccount.bind(1, int64_t{id});
        readOne(s.getAccount, [&rows](const SqliteStatement& row) { rows.accounts.push_back(accountRow(row)); });
    }
    for (uint32_t id : changes.orders) {
        s.getOrder.bind(1, int64_t{id});
        readOne(s.getOrder, [&rows](const SqliteStatement& row) {
            rows.orders.push_back(recordRow<exchg::Order>(row, "order"));
        });
    }
    for (uint32_t id : changes.trades) {
        s.getTrade.bind(1, int64_t{id});
        readOne(s.getTrade, [&rows](const SqliteStatement& row) {
            rows.trades.push_back(recordRow<exchg::Trade>(row, "trade"));
        });
    }
    for (const PositionKey& key : changes.positions) {
        s.getPosition.bind(1, int64_t{key.accountId}).bind(2, key.instrument).bind(3, int64_t{key.direct});
        readOne(s.getPosition, [&rows](const SqliteStatement& row) { rows.positions.push_back(positionRow(row)); });
    }
    return rows;
}

}  // namespace hvr::sim
