// The read side of the book: derived money, closable volumes and the query
// answers.
#include <algorithm>

#include "Book.h"
#include "Fixed.h"

namespace hvr::sim {

int64_t Book::dynProfit(const PositionState& p) const {
    auto found = instruments_.find(p.key.instrument);
    if (found == instruments_.end()) return 0;
    const auto value = static_cast<int64_t>(
        tradedAmount(found->second.last, p.preVolume + p.newVolume, found->second.multiplier));
    return p.key.direct == exchg::DT_Long ? value - p.amount : p.amount - value;
}

Book::Money Book::moneyOf(const Account& account) const {
    Money m;
    const uint32_t id = account.funds.accountId;
    for (auto it = positions_.lower_bound(PositionKey{id, "", exchg::DT_Long});
         it != positions_.end() && it->first.accountId == id; ++it) {
        m.margin += it->second.margin;
        m.dynProfit += dynProfit(it->second);
    }
    m.frozenMargin = account.frozenMargin;
    m.frozenCommission = account.frozenCommission;
    const AccountFunds& f = account.funds;
    m.balance = f.preBalance + f.closeProfit - f.commission + m.dynProfit;
    m.available = m.balance - m.margin - m.frozenMargin - m.frozenCommission;
    return m;
}

Book::Closable Book::closable(const PositionState& p) const {
    // Resting close orders hold volume back: close-today orders from today's
    // volume, plain close orders from yesterday's first.
    auto held = heldBack_.find(p.key);
    uint32_t frozenToday = held == heldBack_.end() ? 0 : held->second.today;
    const uint32_t frozenPlain = held == heldBack_.end() ? 0 : held->second.plain;
    const uint32_t frozenPre = std::min(frozenPlain, p.preVolume);
    frozenToday += frozenPlain - frozenPre;
    Closable c;
    c.pre = p.preVolume - frozenPre;
    c.today = p.newVolume - std::min(frozenToday, p.newVolume);
    return c;
}

uint32_t Book::closableVolume(const PositionKey& key, exchg::OffsetFlag offset) const {
    auto it = positions_.find(key);
    if (it == positions_.end()) return 0;
    const Closable c = closable(it->second);
    return offset == exchg::OF_CloseToday ? c.today : c.pre + c.today;
}

void Book::listOrders(uint32_t accountId, exchg::OrderList& out) const {
    for (const auto& [id, order] : orders_)
        if (order.accountid() == accountId) *out.add_orders() = order;
}

void Book::listTrades(uint32_t accountId, exchg::TradeList& out) const {
    for (const auto& [id, trade] : trades_)
        if (trade.accountid() == accountId) *out.add_trades() = trade;
}

void Book::listPositions(uint32_t accountId, exchg::PositionList& out) const {
    for (const auto& [key, p] : positions_) {
        const uint32_t volume = p.preVolume + p.newVolume;
        if (key.accountId != accountId || volume == 0) continue;
        const Closable c = closable(p);
        exchg::Position& row = *out.add_positions();
        row.set_accountid(accountId);
        row.set_instrument(key.instrument);
        row.set_direct(key.direct);
        row.set_newvolumn(p.newVolume);
        row.set_prevolumn(p.preVolume);
        row.set_availnewvol(c.today);
        row.set_avaliprevol(c.pre);
        // Average open price per unit of volume and multiplier, in 1/10000 units.
        auto found = instruments_.find(key.instrument);
        const uint32_t multiplier = found == instruments_.end() ? 1 : found->second.multiplier;
        const int64_t averagePrice = p.amount / (static_cast<int64_t>(volume) * multiplier);
        row.set_positioncost(static_cast<uint32_t>(std::clamp<int64_t>(averagePrice, 0, UINT32_MAX)));
        row.set_margin(static_cast<uint64_t>(std::max<int64_t>(p.margin, 0)));
        row.set_amount(static_cast<uint64_t>(std::max<int64_t>(p.amount, 0)));
        row.set_dynprofit(dynProfit(p));
    }
}

void Book::accountInfo(uint32_t accountId, exchg::AnsAccountInfo& out) const {
    auto it = accounts_.find(accountId);
    if (it == accounts_.end()) return;
    const AccountFunds& f = it->second.funds;
    const Money m = moneyOf(it->second);
    exchg::AccountInfo& info = *out.add_accinfos();
    info.set_accountid(accountId);
    info.set_balance(m.balance);
    info.set_prebalance(f.preBalance);
    info.set_margin(static_cast<uint64_t>(m.margin));
    info.set_frozenmargin(static_cast<uint64_t>(m.frozenMargin));
    info.set_closeprofit(f.closeProfit);
    info.set_deposit(0);
    info.set_withdraw(0);
    info.set_commission(static_cast<uint64_t>(f.commission));
    info.set_frozencommission(static_cast<uint64_t>(m.frozenCommission));
    info.set_available(m.available);
    info.set_dynprofit(m.dynProfit);
    info.set_currency("CNY");
}

const AccountFunds* Book::funds(uint32_t accountId) const {
    auto it = accounts_.find(accountId);
    return it == accounts_.end() ? nullptr : &it->second.funds;
}

const exchg::Order* Book::order(uint32_t orderId) const {
    auto it = orders_.find(orderId);
    return it == orders_.end() ? nullptr : &it->second;
}

const exchg::Trade* Book::trade(uint32_t tradeId) const {
    auto it = trades_.find(tradeId);
    return it == trades_.end() ? nullptr : &it->second;
}

const PositionState* Book::position(const PositionKey& key) const {
    auto it = positions_.find(key);
    return it == positions_.end() ? nullptr : &it->second;
}

std::vector<Book::MarketLine> Book::marketView() const {
    std::map<std::string, MarketLine> lines;
    for (const auto& [code, terms] : instruments_) {
        MarketLine& line = lines[code];
        line.code = code;
        line.last = terms.last;
    }
    for (uint32_t orderId : restingOrders_) {
        const exchg::Order& o = orders_.at(orderId);
        auto found = lines.find(o.instrument());
        if (found == lines.end()) continue;
        MarketLine& line = found->second;
        if (o.direct() == exchg::DT_Long) {
            line.bestBid = line.restingBuys == 0 ? o.price() : std::max<int64_t>(line.bestBid, o.price());
            ++line.restingBuys;
        } else {
            line.bestAsk = line.restingSells == 0 ? o.price() : std::min<int64_t>(line.bestAsk, o.price());
            ++line.restingSells;
        }
    }
    std::vector<MarketLine> view;
    for (auto& [code, line] : lines) view.push_back(std::move(line));
    return view;
}

}  // namespace hvr::sim
