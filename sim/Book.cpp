#include "Book.h"

#include <algorithm>
#include <cmath>

#include "Fixed.h"
#include "net/WireFormat.h"

namespace hvr::sim {

Book::Book(std::vector<InstrumentTerms> instruments, const std::vector<AccountSetup>& accounts,
           BookSnapshot snapshot, Clock clock, Options options)
    : clock_(std::move(clock)), options_(options), day_(snapshot.day) {
    for (InstrumentTerms& i : instruments) instruments_[i.code] = std::move(i);

    uint32_t nextAccountId = 1;
    for (AccountFunds& f : snapshot.accounts) {
        nextAccountId = std::max(nextAccountId, f.accountId + 1);
        accountByUser_[f.user] = f.accountId;
        accounts_[f.accountId].funds = std::move(f);
    }
    for (const AccountSetup& entry : accounts) {
        auto known = accountByUser_.find(entry.user);
        if (known != accountByUser_.end()) {
            accounts_[known->second].passwordMd5 = entry.passwordMd5;
            continue;
        }
        Account& account = accounts_[nextAccountId];
        account.funds.accountId = nextAccountId;
        account.funds.user = entry.user;
        account.funds.preBalance = entry.startBalance;
        account.passwordMd5 = entry.passwordMd5;
        accountByUser_[entry.user] = nextAccountId;
        changes_.accounts.insert(nextAccountId);
        ++nextAccountId;
    }

    for (exchg::Order& o : snapshot.orders) {
        const exchg::Order& stored = orders_[o.orderid()] = std::move(o);
        if (isResting(stored)) rest(stored);
    }
    for (exchg::Trade& t : snapshot.trades) trades_[t.tradeid()] = std::move(t);
    for (PositionState& p : snapshot.positions) positions_[p.key] = std::move(p);
    for (const CarriedPosition& c : snapshot.carried) {
        auto account = accountByUser_.find(c.user);
        if (account == accountByUser_.end()) continue;  // a user no longer configured cannot trade it
        const PositionKey key{account->second, c.instrument, c.direct};
        PositionState& p = positions_[key];
        p.key = key;
        p.preVolume += c.volume;
        p.amount += c.amount;
        p.margin += c.margin;
        changes_.positions.insert(key);
    }
    pushLog_.restore(std::move(snapshot.pushes));
    for (const auto& [user, lastIssued] : snapshot.pushFloors) {
        auto account = accountByUser_.find(user);
        if (account != accountByUser_.end()) pushLog_.raiseFloor(account->second, lastIssued);
    }
}

uint32_t Book::authenticate(const std::string& user, const std::string& passwordMd5) const {
    auto it = accountByUser_.find(user);
    if (it == accountByUser_.end()) return 0;
    const Account& account = accounts_.at(it->second);
    // A saved account no longer in the configuration has no password.
    if (account.passwordMd5.empty() || account.passwordMd5 != passwordMd5) return 0;
    return it->second;
}

uint32_t Book::issueSessionId() {
    changes_.day = true;
    return day_.nextSessionId++;
}

bool Book::isResting(const exchg::Order& order) {
    return order.status() == exchg::OS_NotTradedQueuing || order.status() == exchg::OS_PartTradedQueuing;
}

bool Book::crosses(const exchg::Order& order, int64_t last) const {
    if (order.pxtype() == exchg::PT_AnyPrice) return true;
    return order.direct() == exchg::DT_Long ? order.price() >= last : order.price() <= last;
}

bool Book::checkLimitPrice(const InstrumentTerms& instrument, int64_t price, std::string& why) const {
    if (price <= 0) {
        why = "limit price " + formatFixed(price) + " must be above 0";
        return false;
    }
    if (price % instrument.tick != 0) {
        why = "limit price " + formatFixed(price) + " is not a multiple of the tick " + formatFixed(instrument.tick);
        return false;
    }
    const long double last = static_cast<long double>(instrument.last);
    const auto lower = static_cast<int64_t>(std::ceil(last * (1.0L - instrument.band)));
    const auto upper = static_cast<int64_t>(std::floor(last * (1.0L + instrument.band)));
    if (price < lower || price > upper) {
        why = "limit price " + formatFixed(price) + " is outside the band " + formatFixed(lower) + " .. " +
              formatFixed(upper);
        return false;
    }
    return true;
}

exchg::AnsOrderInsert insertAnswerEchoing(const exchg::ReqOrderInsert& request) {
    exchg::AnsOrderInsert answer;
    answer.set_orderid(0);
    answer.set_result(exchg::EC_None);
    answer.set_instrument(request.instrument());
    answer.set_price(request.price());
    answer.set_qty(request.qty());
    answer.set_direct(request.direct());
    answer.set_offset(request.offset());
    answer.set_pxtype(request.pxtype());
    answer.set_timecond(request.timecond());
    answer.set_usertag(request.usertag());
    answer.set_message("");
    return answer;
}

Book::InsertOutcome Book::insertOrder(uint32_t accountId, const exchg::ReqOrderInsert& request) {
    InsertOutcome out;
    out.answer = insertAnswerEchoing(request);
    exchg::AnsOrderInsert& answer = out.answer;
    auto refuse = [&out](exchg::ErroCode code, const std::string& why) {
        out.answer.set_result(code);
        out.answer.set_message(why);
        return out;
    };

    auto account = accounts_.find(accountId);
    if (account == accounts_.end()) return refuse(exchg::EC_INVALID_ACCOUNT, "not logged in");
    auto found = instruments_.find(request.instrument());
    if (found == instruments_.end())
        return refuse(exchg::EC_INVALID_CONTRACT, "unknown instrument \"" + request.instrument() + "\"");
    const InstrumentTerms& instrument = found->second;
    if (request.qty() == 0) return refuse(exchg::EC_INVALID_QTY, "order quantity must be at least 1");

    int64_t price = instrument.last;
    if (request.pxtype() == exchg::PT_LimitPrice) {
        price = static_cast<int32_t>(request.price());  // the wire carries a signed price as uint32 bits
        std::string why;
        if (!checkLimitPrice(instrument, price, why)) return refuse(exchg::EC_INVALID_PRICE, why);
    }

    const bool opens = request.offset() == exchg::OF_Open;
    if (!opens) {
        const PositionKey key{accountId, instrument.code, closedSide(request.direct())};
        const uint32_t closable = closableVolume(key, request.offset());
        if (request.qty() > closable)
            return refuse(exchg::EC_LACK_OF_QTY, "cannot close " + std::to_string(request.qty()) + ", only " +
                                                     std::to_string(closable) + " available to close");
    }

    const Wide amount = tradedAmount(price, request.qty(), instrument.multiplier);
    const Wide margin = opens ? applyRatio(amount, instrument.marginRatio) : 0;
    const Wide commission = applyRatio(amount, instrument.commissionRatio);
    const Money money = moneyOf(account->second);
    if (margin + commission > static_cast<Wide>(money.available)) {
        return refuse(exchg::EC_LACK_OF_MONEY, "not enough money: available " + formatFixed(money.available) +
                                                   ", the order needs more");
    }

    exchg::Order order;
    order.set_accountid(accountId);
    order.set_orderid(day_.nextOrderId++);
    order.set_instrument(instrument.code);
    order.set_price(static_cast<int32_t>(price));
    order.set_qty(request.qty());
    order.set_ordertype(exchg::OT_Normal);
    order.set_direct(request.direct());
    order.set_pxtype(request.pxtype());
    order.set_timecond(request.timecond());
    order.set_offset(request.offset());
    order.set_ordertime(clock_());
    order.set_tradedvol(0);
    order.set_leftover(request.qty());
    order.set_status(exchg::OS_NotTradedQueuing);
    order.set_margin(static_cast<uint64_t>(margin));
    order.set_leftmargin(static_cast<uint64_t>(margin));
    order.set_commission(static_cast<uint64_t>(commission));
    order.set_leftcommission(static_cast<uint64_t>(commission));
    order.set_tradingdate(day_.tradingDate);
    order.set_usertag(request.usertag());
    order.set_statemsg("queuing");
    changes_.day = true;

    const uint32_t orderId = order.orderid();
    exchg::Order& stored = orders_[orderId] = std::move(order);
    changes_.orders.insert(orderId);
    answer.set_orderid(orderId);
    pushOrder(stored, out.pushes);
    match(stored, out.pushes);
    return out;
}

void Book::match(exchg::Order& order, std::vector<PushRecord>& pushes) {
    const int64_t last = instruments_.at(order.instrument()).last;
    if (crosses(order, last)) {
        const uint32_t left = order.leftover();
        if (options_.partialFills && left >= 2) {
            fill(order, left / 2, last, pushes);
            fill(order, left - left / 2, last, pushes);
        } else {
            fill(order, left, last, pushes);
        }
    } else if (order.timecond() == exchg::TC_ImmediateOrCancel) {
        finish(order, exchg::OS_Canceled, "immediate-or-cancel order found no match", pushes);
    } else {
        rest(order);
    }
}

void Book::rest(const exchg::Order& order) {
    if (!restingOrders_.insert(order.orderid()).second) return;
    auto account = accounts_.find(order.accountid());
    if (account != accounts_.end()) {
        account->second.frozenMargin += static_cast<int64_t>(order.leftmargin());
        account->second.frozenCommission += static_cast<int64_t>(order.leftcommission());
    }
    addHeldBack(order, +1);
}

void Book::stopResting(const exchg::Order& order) {
    if (restingOrders_.erase(order.orderid()) == 0) return;
    auto account = accounts_.find(order.accountid());
    if (account != accounts_.end()) {
        account->second.frozenMargin -= static_cast<int64_t>(order.leftmargin());
        account->second.frozenCommission -= static_cast<int64_t>(order.leftcommission());
    }
    addHeldBack(order, -1);
}

void Book::addHeldBack(const exchg::Order& order, int sign) {
    if (order.offset() == exchg::OF_Open) return;
    const PositionKey key{order.accountid(), order.instrument(), closedSide(order.direct())};
    HeldBack& held = heldBack_[key];
    uint32_t& volume = order.offset() == exchg::OF_CloseToday ? held.today : held.plain;
    volume = sign > 0 ? volume + order.leftover() : volume - order.leftover();
    if (held.today == 0 && held.plain == 0) heldBack_.erase(key);
}

void Book::fill(exchg::Order& order, uint32_t volume, int64_t price, std::vector<PushRecord>& pushes) {
    const InstrumentTerms& instrument = instruments_.at(order.instrument());
    const Wide amount = tradedAmount(price, volume, instrument.multiplier);
    const auto commission = static_cast<int64_t>(applyRatio(amount, instrument.commissionRatio));
    const int64_t closeProfit = applyFillToPosition(order, volume, amount);

    AccountFunds& funds = accounts_.at(order.accountid()).funds;
    funds.commission += commission;
    funds.closeProfit += closeProfit;
    changes_.accounts.insert(funds.accountId);

    exchg::Trade trade;
    trade.set_accountid(order.accountid());
    trade.set_tradeid(day_.nextTradeId++);
    trade.set_orderid(order.orderid());
    trade.set_instrument(order.instrument());
    trade.set_price(static_cast<int32_t>(price));
    trade.set_qty(volume);
    trade.set_direct(order.direct());
    trade.set_offset(order.offset());
    trade.set_amount(static_cast<uint64_t>(amount));
    trade.set_commission(static_cast<uint64_t>(commission));
    trade.set_closeprofit(closeProfit);
    trade.set_tradetime(clock_());
    trade.set_tradingdate(day_.tradingDate);
    trade.set_ordertype(order.ordertype());
    trade.set_usertag(order.usertag());
    changes_.day = true;
    changes_.trades.push_back(trade.tradeid());
    const exchg::Trade& stored = trades_[trade.tradeid()] = std::move(trade);

    order.set_tradedvol(order.tradedvol() + volume);
    order.set_leftover(order.leftover() - volume);
    order.set_leftmargin(static_cast<uint64_t>(
        proportion(static_cast<int64_t>(order.margin()), order.leftover(), order.qty())));
    order.set_leftcommission(static_cast<uint64_t>(
        proportion(static_cast<int64_t>(order.commission()), order.leftover(), order.qty())));
    const bool done = order.leftover() == 0;
    order.set_status(done ? exchg::OS_AllTraded : exchg::OS_PartTradedQueuing);
    order.set_statemsg(done ? "all traded" : "part traded");
    changes_.orders.insert(order.orderid());

    pushTrade(stored, pushes);
    pushOrder(order, pushes);
}

int64_t Book::applyFillToPosition(const exchg::Order& order, uint32_t volume, Wide amount) {
    const InstrumentTerms& instrument = instruments_.at(order.instrument());
    if (order.offset() == exchg::OF_Open) {
        const PositionKey key{order.accountid(), order.instrument(), order.direct()};
        PositionState& p = positions_[key];
        p.key = key;
        p.newVolume += volume;
        p.amount += static_cast<int64_t>(amount);
        p.margin += static_cast<int64_t>(applyRatio(amount, instrument.marginRatio));
        changes_.positions.insert(key);
        return 0;
    }

    const PositionKey key{order.accountid(), order.instrument(), closedSide(order.direct())};
    auto it = positions_.find(key);
    if (it == positions_.end()) return 0;  // unreachable: close volume is checked and frozen
    PositionState& p = it->second;
    const uint32_t held = p.preVolume + p.newVolume;
    volume = std::min(volume, held);
    if (volume == 0) return 0;
    // A plain close takes yesterday's volume first; close-today only today's.
    const uint32_t fromPre = order.offset() == exchg::OF_Close ? std::min(volume, p.preVolume) : 0;
    const uint32_t fromNew = std::min(volume - fromPre, p.newVolume);
    const int64_t releasedAmount = proportion(p.amount, fromPre + fromNew, held);
    const int64_t releasedMargin = proportion(p.margin, fromPre + fromNew, held);
    p.preVolume -= fromPre;
    p.newVolume -= fromNew;
    p.amount -= releasedAmount;
    p.margin -= releasedMargin;
    changes_.positions.insert(key);
    const auto closeAmount = static_cast<int64_t>(amount);
    return key.direct == exchg::DT_Long ? closeAmount - releasedAmount : releasedAmount - closeAmount;
}

void Book::finish(exchg::Order& order, exchg::OrderState state, const std::string& why,
                  std::vector<PushRecord>& pushes) {
    stopResting(order);
    order.set_status(state);
    order.set_leftmargin(0);
    order.set_leftcommission(0);
    order.set_statemsg(why);
    changes_.orders.insert(order.orderid());
    pushOrder(order, pushes);
}

Book::CancelOutcome Book::cancelOrder(uint32_t accountId, uint32_t orderId) {
    CancelOutcome out;
    exchg::AnsOrderCancel& answer = out.answer;
    answer.set_orderid(orderId);
    answer.set_result(exchg::EC_None);
    answer.set_message("");
    answer.set_usertag("");
    if (accounts_.count(accountId) == 0) {
        answer.set_result(exchg::EC_INVALID_ACCOUNT);
        answer.set_message("not logged in");
        return out;
    }
    auto it = orders_.find(orderId);
    if (it == orders_.end() || it->second.accountid() != accountId) {
        answer.set_result(exchg::EC_INVALID_ORDER);
        answer.set_message("no order " + std::to_string(orderId) + " in this account");
        return out;
    }
    exchg::Order& order = it->second;
    answer.set_usertag(order.usertag());
    if (!isResting(order)) {
        answer.set_result(exchg::EC_INVALID_ORDERSTATE);
        answer.set_message("order " + std::to_string(orderId) + " is finished (" + order.statemsg() +
                           ") and cannot be cancelled");
        return out;
    }
    finish(order, exchg::OS_Canceled, "cancelled", out.pushes);
    return out;
}

std::vector<PushRecord> Book::setLastPrice(const std::string& code, int64_t last) {
    std::vector<PushRecord> pushes;
    auto found = instruments_.find(code);
    if (found == instruments_.end() || last <= 0) return pushes;
    found->second.last = last;
    const std::vector<uint32_t> resting(restingOrders_.begin(), restingOrders_.end());
    for (uint32_t id : resting) {
        exchg::Order& order = orders_.at(id);
        if (order.instrument() != code || !crosses(order, last)) continue;
        stopResting(order);
        fill(order, order.leftover(), last, pushes);
    }
    return pushes;
}

void Book::pushOrder(const exchg::Order& order, std::vector<PushRecord>& pushes) {
    push(order.accountid(), FC_PUSH_ORDER, order.SerializeAsString(), pushes);
}

void Book::pushTrade(const exchg::Trade& trade, std::vector<PushRecord>& pushes) {
    push(trade.accountid(), FC_PUSH_TRADE, trade.SerializeAsString(), pushes);
}

void Book::push(uint32_t accountId, uint32_t mtype, std::string data, std::vector<PushRecord>& pushes) {
    if (options_.faults && options_.faults->leavesOutPush()) return;
    const PushRecord& r = pushLog_.append(accountId, mtype, std::move(data));
    changes_.pushes.push_back(r);
    pushes.push_back(r);
}

BookChanges Book::takeChanges() {
    BookChanges taken = std::move(changes_);
    changes_ = BookChanges();
    return taken;
}

namespace {

// The record of `key` in stored rows, or null.
template <typename Record, typename Key, typename KeyOf>
const Record* storedRow(const std::vector<Record>& rows, const Key& key, KeyOf keyOf) {
    for (const Record& row : rows)
        if (keyOf(row) == key) return &row;
    return nullptr;
}

}  // namespace

void Book::revert(const BookChanges& changes, const BookSnapshot& stored) {
    day_ = stored.day;
    for (uint32_t id : changes.accounts) {
        const AccountFunds* row = storedRow(stored.accounts, id, [](const AccountFunds& f) { return f.accountId; });
        auto account = accounts_.find(id);
        if (row && account != accounts_.end()) account->second.funds = *row;
    }
    for (uint32_t id : changes.orders) {
        auto current = orders_.find(id);
        if (current == orders_.end()) continue;
        stopResting(current->second);
        const exchg::Order* row = storedRow(stored.orders, id, [](const exchg::Order& o) { return o.orderid(); });
        if (!row) {
            orders_.erase(current);
            continue;
        }
        current->second = *row;
        if (isResting(current->second)) rest(current->second);
    }
    for (uint32_t id : changes.trades) {
        const exchg::Trade* row = storedRow(stored.trades, id, [](const exchg::Trade& t) { return t.tradeid(); });
        if (row) trades_[id] = *row;
        else trades_.erase(id);
    }
    for (const PositionKey& key : changes.positions) {
        const PositionState* row = storedRow(stored.positions, key, [](const PositionState& p) { return p.key; });
        if (row) positions_[key] = *row;
        else positions_.erase(key);
    }
    for (auto push = changes.pushes.rbegin(); push != changes.pushes.rend(); ++push)
        pushLog_.dropLatest(push->accountId, push->pushId);
    changes_ = BookChanges();
}

}  // namespace hvr::sim
