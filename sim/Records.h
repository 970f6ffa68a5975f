// The records the book holds and the store keeps: instruments, accounts,
// positions, pushes, the day's counters, a whole saved day (BookSnapshot) and
// the list of what changed since the last save (BookChanges). Orders and
// trades are held as exchg::Order and exchg::Trade: the wire records carry
// every field the book needs. Plain values; no behaviour beyond ordering.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "exchg.pb.h"

namespace hvr::sim {

// One tradable instrument; prices in 1/10000 units.
struct InstrumentTerms {
    std::string code;
    std::string exchange;
    uint32_t multiplier = 1;
    int64_t tick = 1;         // price tick, at least 1
    int64_t last = 0;         // current last price
    double band = 0.1;        // limit prices outside last * (1 +/- band) are refused
    double marginRatio = 0.1;
    double commissionRatio = 0.0;
};

// A user allowed to log in, as configured.
struct AccountSetup {
    std::string user;
    std::string passwordMd5;  // lowercase hex MD5 of the clear password
    int64_t startBalance = 0; // balance a new trading day starts with
};

// The stored money of an account. Margins, frozen sums, position profit and
// available money are derived from positions and orders, never stored.
struct AccountFunds {
    uint32_t accountId = 0;   // 0 is never assigned: it means "not logged in"
    std::string user;
    int64_t preBalance = 0;
    int64_t closeProfit = 0;
    int64_t commission = 0;
};

struct PositionKey {
    uint32_t accountId = 0;
    std::string instrument;
    exchg::DirectionType direct = exchg::DT_Long;

    bool operator<(const PositionKey& o) const {
        return std::tie(accountId, instrument, direct) < std::tie(o.accountId, o.instrument, o.direct);
    }
    bool operator==(const PositionKey& o) const {
        return accountId == o.accountId && instrument == o.instrument && direct == o.direct;
    }
};

// One side of one instrument held by one account. amount is the open cost
// (sum of price x volume x multiplier of the open fills still held).
struct PositionState {
    PositionKey key;
    uint32_t preVolume = 0;
    uint32_t newVolume = 0;
    int64_t amount = 0;
    int64_t margin = 0;
};

// One push of an account's push log: mtype 60 carries an exchg::Order, 61
// an exchg::Trade. pushId counts from 1 per account.
struct PushRecord {
    uint32_t accountId = 0;
    uint64_t pushId = 0;
    uint32_t mtype = 0;
    std::string data;
};

// A position an earlier trading day left open, by user (account ids are
// handed out anew each day): a new day starts with it as yesterday's
// volume, at the cost and margin it was opened with, so its profit and loss
// count from the price it was opened at.
struct CarriedPosition {
    std::string user;
    std::string instrument;
    exchg::DirectionType direct = exchg::DT_Long;
    uint32_t volume = 0;
    int64_t amount = 0;
    int64_t margin = 0;
};

// The counters of the trading day; each names the next value to hand out.
struct DayCounters {
    uint32_t tradingDate = 0;
    uint32_t nextOrderId = 1;
    uint32_t nextTradeId = 1;
    uint32_t nextSessionId = 1;
};

// A whole trading day as saved: what the store loads and the book starts from.
struct BookSnapshot {
    DayCounters day;
    std::vector<AccountFunds> accounts;
    std::vector<exchg::Order> orders;
    std::vector<exchg::Trade> trades;
    std::vector<PositionState> positions;
    std::vector<PushRecord> pushes;  // in push-id order per account
    // By user: the highest push id an earlier day of the same trading date
    // issued (kept across --fresh-day); this day's ids go on above it.
    std::map<std::string, uint64_t> pushFloors;
    // The positions this day opens with, not yet among `positions` (only
    // while the day has no position row yet: see Store).
    std::vector<CarriedPosition> carried;
};

// What the book changed since the last takeChanges(): the keys of rows to
// rewrite and the records to append.
struct BookChanges {
    bool day = false;
    std::set<uint32_t> accounts;
    std::set<uint32_t> orders;
    std::vector<uint32_t> trades;
    std::set<PositionKey> positions;
    std::vector<PushRecord> pushes;

    bool empty() const {
        return !day && accounts.empty() && orders.empty() && trades.empty() && positions.empty() &&
               pushes.empty();
    }
};

}  // namespace hvr::sim
