// The book of the simulated exchange: accounts, orders, matching, trades,
// positions, funds and the push log of one trading day. Pure: no sockets, no
// files, no clock of its own (the caller passes one in). Not thread-safe:
// the server calls it from its one network thread only.
//
// Matching is deterministic against each instrument's last price:
//   - a limit buy at or above last, a limit sell at or below last and every
//     any-price order fill at once at the last price (in two fills when
//     Options::partialFills is on and the volume is at least 2);
//   - other limit orders rest until cancelled, or until setLastPrice() moves
//     the last price through their limit; they then fill at the new last;
//   - an immediate-or-cancel order that cannot fill is cancelled at once.
//
// Funds, in 1/10000 units: balance = prebalance + closeprofit - commission +
// dynprofit; available = balance - margin - frozen margin - frozen
// commission. An open order freezes margin (price x volume x multiplier x
// margin ratio, at its limit price or at the last price for any-price
// orders) and commission (amount x commission ratio); a close order freezes
// commission and the closed volume of the position. Fills release the frozen
// part and book actual margin and commission at the fill price.
//
// Cost: the frozen sums of each account and the volume held back on each
// position are running sums, kept as orders start and stop resting, so an
// insert costs the same with no resting orders as with 100,000.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Faults.h"
#include "Fixed.h"
#include "PushLog.h"
#include "Records.h"
#include "exchg.pb.h"

namespace hvr::sim {

class Book {
public:
    using Clock = std::function<uint64_t()>;  // milliseconds since the epoch

    struct Options {
        bool partialFills = false;
        // Asked about every push the book makes (leavesOutPush): one left
        // out is stored and answered in queries, never numbered, logged or
        // sent. Not owned; outlives the Book. None: no fault.
        Faults* faults = nullptr;
    };

    // An order insert's answer (result 0 and a new order id, or a refusal
    // with a message and no order) and the pushes it caused, in order.
    struct InsertOutcome {
        exchg::AnsOrderInsert answer;
        std::vector<PushRecord> pushes;
    };

    struct CancelOutcome {
        exchg::AnsOrderCancel answer;
        std::vector<PushRecord> pushes;
    };

    // Starts from a saved day. Configured accounts missing from the snapshot
    // are opened with their start balance (and reported by takeChanges());
    // saved accounts keep their funds. The snapshot's carried positions of
    // known users become yesterday's volume (reported by takeChanges()).
    Book(std::vector<InstrumentTerms> instruments, const std::vector<AccountSetup>& accounts,
         BookSnapshot snapshot, Clock clock, Options options);

    uint32_t tradingDate() const { return day_.tradingDate; }

    // The account id of user when passwordMd5 matches, else 0.
    uint32_t authenticate(const std::string& user, const std::string& passwordMd5) const;

    // A new session id; each call returns a larger one.
    uint32_t issueSessionId();

    // accountId 0 (not logged in) is refused with EC_INVALID_ACCOUNT.
    InsertOutcome insertOrder(uint32_t accountId, const exchg::ReqOrderInsert& request);
    CancelOutcome cancelOrder(uint32_t accountId, uint32_t orderId);

    // Moves an instrument's last price and fills resting orders it crosses.
    // Returns the pushes; none for an unknown code.
    std::vector<PushRecord> setLastPrice(const std::string& code, int64_t last);

    // Query answers of one account; empty for an unknown account.
    void listOrders(uint32_t accountId, exchg::OrderList& out) const;
    void listTrades(uint32_t accountId, exchg::TradeList& out) const;
    void listPositions(uint32_t accountId, exchg::PositionList& out) const;  // non-zero only
    void accountInfo(uint32_t accountId, exchg::AnsAccountInfo& out) const;

    // The pushes a login with resume id `requested` receives (see PushLog).
    std::vector<PushRecord> replayPushes(uint32_t accountId, int64_t requested) const {
        return pushLog_.replay(accountId, requested);
    }

    const std::map<std::string, InstrumentTerms>& instruments() const { return instruments_; }

    // One instrument's market as the book sees it: the last price and the
    // resting limit orders on each side (price 0 when that side is empty).
    struct MarketLine {
        std::string code;
        int64_t last = 0;
        uint32_t restingBuys = 0;
        uint32_t restingSells = 0;
        int64_t bestBid = 0;  // highest resting buy
        int64_t bestAsk = 0;  // lowest resting sell
    };
    // Every instrument, in code order.
    std::vector<MarketLine> marketView() const;

    // Read access for the store, by the keys takeChanges() reports.
    const DayCounters& day() const { return day_; }
    const AccountFunds* funds(uint32_t accountId) const;
    const exchg::Order* order(uint32_t orderId) const;
    const exchg::Trade* trade(uint32_t tradeId) const;
    const PositionState* position(const PositionKey& key) const;  // null once flat and never held

    // Everything changed since the previous call; the caller saves it.
    BookChanges takeChanges();

    // Undoes changes that could not be saved: every record they name goes
    // back to its stored row in `stored` (or away when it has none), the
    // pushes they appended are dropped and the day's counters are set back.
    // REQUIRES: changes is the latest takeChanges(), nothing changed since,
    // and stored holds the saved rows of what it names (Store::readRows).
    void revert(const BookChanges& changes, const BookSnapshot& stored);

private:
    struct Account {
        AccountFunds funds;
        std::string passwordMd5;
        // Left margin and commission of the account's resting orders.
        int64_t frozenMargin = 0;
        int64_t frozenCommission = 0;
    };

    // The volume resting close orders hold back on one position: close-today
    // orders from today's volume, plain close orders from yesterday's first.
    struct HeldBack {
        uint32_t today = 0;
        uint32_t plain = 0;
    };

    // Derived money of one account (see the class comment).
    struct Money {
        int64_t margin = 0;
        int64_t frozenMargin = 0;
        int64_t frozenCommission = 0;
        int64_t dynProfit = 0;
        int64_t balance = 0;
        int64_t available = 0;
    };

    static bool isResting(const exchg::Order& order);
    bool crosses(const exchg::Order& order, int64_t last) const;
    int64_t dynProfit(const PositionState& p) const;
    Money moneyOf(const Account& account) const;
    struct Closable {
        uint32_t pre = 0;
        uint32_t today = 0;
    };
    Closable closable(const PositionState& p) const;
    uint32_t closableVolume(const PositionKey& key, exchg::OffsetFlag offset) const;
    bool checkLimitPrice(const InstrumentTerms& instrument, int64_t price, std::string& why) const;

    // Every change of restingOrders_ goes through these two, which keep the
    // running sums. A resting order's left volume and money do not change
    // while it rests: it is taken out before a fill or a cancel.
    void rest(const exchg::Order& order);
    void stopResting(const exchg::Order& order);
    void addHeldBack(const exchg::Order& order, int sign);

    void match(exchg::Order& order, std::vector<PushRecord>& pushes);
    void fill(exchg::Order& order, uint32_t volume, int64_t price, std::vector<PushRecord>& pushes);
    int64_t applyFillToPosition(const exchg::Order& order, uint32_t volume, Wide amount);
    void finish(exchg::Order& order, exchg::OrderState state, const std::string& why,
                std::vector<PushRecord>& pushes);
    void pushOrder(const exchg::Order& order, std::vector<PushRecord>& pushes);
    void pushTrade(const exchg::Trade& trade, std::vector<PushRecord>& pushes);
    void push(uint32_t accountId, uint32_t mtype, std::string data, std::vector<PushRecord>& pushes);

    Clock clock_;
    Options options_;
    DayCounters day_;
    std::map<std::string, InstrumentTerms> instruments_;
    std::map<uint32_t, Account> accounts_;
    std::map<std::string, uint32_t> accountByUser_;
    std::map<uint32_t, exchg::Order> orders_;
    std::set<uint32_t> restingOrders_;
    std::map<uint32_t, exchg::Trade> trades_;
    std::map<PositionKey, PositionState> positions_;
    std::map<PositionKey, HeldBack> heldBack_;  // by the position a close order reduces
    PushLog pushLog_;
    BookChanges changes_;
};

// An order insert's answer echoing the request, with result 0, no order id
// and an empty message: what insertOrder fills in.
exchg::AnsOrderInsert insertAnswerEchoing(const exchg::ReqOrderInsert& request);

// The side a close order of direction `orderDirect` reduces.
inline exchg::DirectionType closedSide(exchg::DirectionType orderDirect) {
    return orderDirect == exchg::DT_Long ? exchg::DT_Short : exchg::DT_Long;
}

}  // namespace hvr::sim
