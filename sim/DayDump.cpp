#include "DayDump.h"

#include <ctime>
#include <map>

#include "Fixed.h"
#include "Records.h"
#include "net/WireFormat.h"

namespace hvr::sim {

namespace {

DumpCell number(int64_t value) { return DumpCell{std::to_string(value), true}; }
DumpCell money(int64_t fixed) { return DumpCell{formatFixed(fixed), true}; }
DumpCell text(std::string value) { return DumpCell{std::move(value), false}; }

std::string sideText(exchg::DirectionType d) { return d == exchg::DT_Long ? "buy" : "sell"; }

std::string offsetText(exchg::OffsetFlag o) {
    switch (o) {
        case exchg::OF_Open:
            return "open";
        case exchg::OF_Close:
            return "close";
        default:
            return "close-today";
    }
}

std::string stateText(exchg::OrderState s) {
    switch (s) {
        case exchg::OS_AllTraded:
            return "all traded";
        case exchg::OS_PartTradedQueuing:
            return "part traded, queuing";
        case exchg::OS_PartTradedNotQueuing:
            return "part traded, not queuing";
        case exchg::OS_NotTradedQueuing:
            return "queuing";
        case exchg::OS_NotTradedNotQueuing:
            return "not traded, not queuing";
        case exchg::OS_Canceled:
            return "cancelled";
        default:
            return "unknown";
    }
}

std::string timeConditionText(exchg::TimeCondition t) {
    switch (t) {
        case exchg::TC_ImmediateOrCancel:
            return "ioc";
        case exchg::TC_ValidInSection:
            return "section";
        default:
            return "day";
    }
}

// Milliseconds since the epoch as local "YYYY-MM-DD HH:MM:SS.mmm".
std::string timeText(uint64_t millis) {
    const auto seconds = static_cast<std::time_t>(millis / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03u", static_cast<unsigned>(millis % 1000));
    return stamp;
}

std::string priceText(const exchg::Order& o) {
    return o.pxtype() == exchg::PT_AnyPrice ? "any" : formatFixed(o.price());
}

std::map<uint32_t, std::string> usersById(SqliteDb& db) {
    std::map<uint32_t, std::string> users;
    SqliteStatement s = db.prepare("SELECT accountid, user FROM accounts");
    while (s.step()) users[static_cast<uint32_t>(s.columnInt(0))] = s.columnText(1);
    return users;
}

std::string userOf(const std::map<uint32_t, std::string>& users, uint32_t accountId) {
    auto it = users.find(accountId);
    return it == users.end() ? "#" + std::to_string(accountId) : it->second;
}

exchg::Order parseOrder(const std::string& bytes, const std::string& where) {
    exchg::Order o;
    if (!o.ParseFromString(bytes)) throw SqliteError(where + " does not hold a readable order record");
    return o;
}

exchg::Trade parseTrade(const std::string& bytes, const std::string& where) {
    exchg::Trade t;
    if (!t.ParseFromString(bytes)) throw SqliteError(where + " does not hold a readable trade record");
    return t;
}

DumpTable orders(SqliteDb& db) {
    const auto users = usersById(db);
    DumpTable table;
    table.columns = {"order", "user",   "instrument", "side",   "offset", "price",  "qty",        "traded",
                     "left",  "state",  "time_cond",  "margin", "commission", "time", "usertag", "message"};
    SqliteStatement s = db.prepare("SELECT orderid, record FROM orders ORDER BY orderid");
    while (s.step()) {
        const exchg::Order o = parseOrder(s.columnBlob(1), "order " + std::to_string(s.columnInt(0)));
        table.rows.push_back({number(o.orderid()), text(userOf(users, o.accountid())), text(o.instrument()),
                              text(sideText(o.direct())), text(offsetText(o.offset())),
                              DumpCell{priceText(o), o.pxtype() != exchg::PT_AnyPrice}, number(o.qty()),
                              number(o.tradedvol()), number(o.leftover()), text(stateText(o.status())),
                              text(timeConditionText(o.timecond())), money(static_cast<int64_t>(o.margin())),
                              money(static_cast<int64_t>(o.commission())), text(timeText(o.ordertime())),
                              text(o.usertag()), text(o.statemsg())});
    }
    return table;
}

DumpTable trades(SqliteDb& db) {
    const auto users = usersById(db);
    DumpTable table;
    table.columns = {"trade",  "order",      "user",         "instrument", "side", "offset",
                     "price",  "qty",        "amount",       "commission", "close_profit", "time"};
    SqliteStatement s = db.prepare("SELECT tradeid, record FROM trades ORDER BY tradeid");
    while (s.step()) {
        const exchg::Trade t = parseTrade(s.columnBlob(1), "trade " + std::to_string(s.columnInt(0)));
        table.rows.push_back({number(t.tradeid()), number(t.orderid()), text(userOf(users, t.accountid())),
                              text(t.instrument()), text(sideText(t.direct())), text(offsetText(t.offset())),
                              money(t.price()), number(t.qty()), money(static_cast<int64_t>(t.amount())),
                              money(static_cast<int64_t>(t.commission())), money(t.closeprofit()),
                              text(timeText(t.tradetime()))});
    }
    return table;
}

const DumpCell ABSENT{"", false, true};

// The fields of what a push carries, one column each; a field the kind of
// push lacks is absent. Columns: order, trade, instrument, side, offset,
// price, qty, traded, left, state, amount, time, usertag.
std::vector<DumpCell> pushFields(uint32_t mtype, const std::string& data, const std::string& where) {
    if (mtype == FC_PUSH_ORDER) {
        const exchg::Order o = parseOrder(data, where);
        return {number(o.orderid()), ABSENT, text(o.instrument()), text(sideText(o.direct())),
                text(offsetText(o.offset())), DumpCell{priceText(o), o.pxtype() != exchg::PT_AnyPrice},
                number(o.qty()), number(o.tradedvol()), number(o.leftover()), text(stateText(o.status())), ABSENT,
                text(timeText(o.ordertime())), text(o.usertag())};
    }
    if (mtype == FC_PUSH_TRADE) {
        const exchg::Trade t = parseTrade(data, where);
        return {number(t.orderid()), number(t.tradeid()), text(t.instrument()), text(sideText(t.direct())),
                text(offsetText(t.offset())), money(t.price()), number(t.qty()), ABSENT, ABSENT, ABSENT,
                money(static_cast<int64_t>(t.amount())), text(timeText(t.tradetime())), text(t.usertag())};
    }
    return std::vector<DumpCell>(13, ABSENT);
}

DumpTable pushes(SqliteDb& db) {
    const auto users = usersById(db);
    DumpTable table;
    table.columns = {"user",  "push", "kind",  "order", "trade",  "instrument", "side", "offset",
                     "price", "qty",  "traded", "left", "state", "amount",     "time", "usertag"};
    SqliteStatement s = db.prepare("SELECT accountid, pushid, mtype, data FROM pushes ORDER BY accountid, pushid");
    while (s.step()) {
        const auto mtype = static_cast<uint32_t>(s.columnInt(2));
        const std::string where = "push " + std::to_string(s.columnInt(1));
        std::vector<DumpCell> row{text(userOf(users, static_cast<uint32_t>(s.columnInt(0)))), number(s.columnInt(1)),
                                  text(mtype == FC_PUSH_ORDER   ? "order"
                                       : mtype == FC_PUSH_TRADE ? "trade"
                                                                : "message type " + std::to_string(mtype))};
        for (DumpCell& cell : pushFields(mtype, s.columnBlob(3), where)) row.push_back(std::move(cell));
        table.rows.push_back(std::move(row));
    }
    return table;
}

DumpTable day(SqliteDb& db) {
    DumpTable table;
    table.columns = {"trading_date", "next_order", "next_trade", "next_session"};
    std::map<std::string, int64_t> values;
    SqliteStatement s = db.prepare("SELECT key, value FROM day");
    while (s.step()) values[s.columnText(0)] = s.columnInt(1);
    if (values.count("trading_date") == 0) return table;  // no day stored
    table.rows.push_back({number(values["trading_date"]), number(values["next_order_id"]),
                          number(values["next_trade_id"]), number(values["next_session_id"])});
    return table;
}

// Open positions only: a side closed out keeps its row in the database.
DumpTable positions(SqliteDb& db) {
    const auto users = usersById(db);
    DumpTable table;
    table.columns = {"user", "instrument", "side", "yesterday", "today", "cost", "margin"};
    SqliteStatement s = db.prepare(
        "SELECT accountid, instrument, direct, prevolume, newvolume, amount, margin FROM positions "
        "WHERE prevolume + newvolume > 0 ORDER BY accountid, instrument, direct");
    while (s.step())
        table.rows.push_back({text(userOf(users, static_cast<uint32_t>(s.columnInt(0)))), text(s.columnText(1)),
                              text(s.columnInt(2) == exchg::DT_Long ? "long" : "short"), number(s.columnInt(3)),
                              number(s.columnInt(4)), money(s.columnInt(5)), money(s.columnInt(6))});
    return table;
}

DumpTable accounts(SqliteDb& db) {
    DumpTable table;
    table.columns = {"account", "user", "prebalance", "close_profit", "commission"};
    SqliteStatement s =
        db.prepare("SELECT accountid, user, prebalance, closeprofit, commission FROM accounts ORDER BY accountid");
    while (s.step())
        table.rows.push_back({number(s.columnInt(0)), text(s.columnText(1)), money(s.columnInt(2)),
                              money(s.columnInt(3)), money(s.columnInt(4))});
    return table;
}

}  // namespace

const std::vector<std::string>& dumpTableNames() {
    static const std::vector<std::string> names{"day", "orders", "trades", "positions", "pushes", "accounts"};
    return names;
}

DumpTable dumpDay(SqliteDb& db, const std::string& name) {
    if (name == "day") return day(db);
    if (name == "orders") return orders(db);
    if (name == "trades") return trades(db);
    if (name == "positions") return positions(db);
    if (name == "pushes") return pushes(db);
    return accounts(db);
}

}  // namespace hvr::sim
