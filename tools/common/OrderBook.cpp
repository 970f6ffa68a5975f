#include "common/OrderBook.h"

#include <algorithm>
#include <unordered_set>

namespace hvr::tools {

namespace {

// Numeric ids sort by value ("9" before "10"), anything else after them by text.
bool idBefore(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

bool sameProgress(const BookOrder& a, const BookOrder& b) {
    return a.state == b.state && a.traded == b.traded && a.left == b.left;
}

// The side a fill's volume counts on: an open fill on its own side, a close
// fill on the other (a sell closes long).
char positionSide(const BookFill& fill) {
    const bool buy = fill.direction == '0';
    const bool open = fill.offset == '0';
    return (buy == open) ? '0' : '1';
}

// A record the answer has and the book lacks: a difference, or loaded.
void noteMissing(ReconcileCheck& check, bool load, Difference missing) {
    if (load) {
        ++check.loaded;
    } else {
        check.differences.push_back(std::move(missing));
    }
}

// The ids of the book's entries the answer does not have and that are older
// than the queries, each reported with unknown(entry); newer ones are races.
template <typename Entries, typename Unknown>
std::vector<std::string> unanswered(const Entries& entries, const std::unordered_set<std::string>& answered,
                                    uint64_t since, ReconcileCheck& check, Unknown unknown) {
    std::vector<std::string> ids;
    for (const auto& [id, entry] : entries) {
        if (answered.count(id) != 0) continue;
        if (entry.changedAt > since) {
            ++check.raced;  // first pushed after the queries left
            continue;
        }
        check.differences.push_back(unknown(entry));
        ids.push_back(id);
    }
    return ids;
}

}  // namespace

int orderStateRank(char state) {
    switch (state) {
        case '6': return 0;
        case '3': return 1;
        case '1': return 2;
        default: return 3;  // '0', '2', '4', '5' and anything else: final
    }
}

bool isEarlierUpdate(const BookOrder& update, const BookOrder& known) {
    if (update.traded != known.traded) return update.traded < known.traded;
    return orderStateRank(update.state) < orderStateRank(known.state);
}

Applied OrderBook::applyOrder(BookOrder order) {
    auto it = ordersById.find(order.orderId);
    if (it == ordersById.end()) {
        storeOrder(std::move(order));
        return Applied::New;
    }
    const BookOrder& known = it->second.order;
    if (isEarlierUpdate(order, known) || sameProgress(order, known)) {
        ++duplicateCount;
        return Applied::Duplicate;
    }
    storeOrder(std::move(order));
    return Applied::Updated;
}

Applied OrderBook::applyFill(BookFill fill) {
    if (fillsById.count(fill.tradeId) != 0) {
        ++duplicateCount;
        return Applied::Duplicate;
    }
    addFill(std::move(fill));
    return Applied::New;
}

void OrderBook::storeOrder(BookOrder order) {
    OrderEntry& entry = ordersById[order.orderId];
    if (order.tag.empty()) order.tag = entry.order.tag;
    if (!entry.order.tag.empty() && entry.order.tag != order.tag) orderIdByTag.erase(entry.order.tag);
    if (!order.tag.empty()) orderIdByTag[order.tag] = order.orderId;
    entry.order = std::move(order);
    entry.changedAt = ++changes;
}

void OrderBook::addFill(BookFill fill) {
    countFill(fill, true);
    const std::string id = fill.tradeId;
    fillsById[id] = FillEntry{std::move(fill), ++changes};
}

void OrderBook::removeFill(const std::string& tradeId) {
    auto it = fillsById.find(tradeId);
    if (it == fillsById.end()) return;
    countFill(it->second.fill, false);
    fillsById.erase(it);
    ++changes;
}

void OrderBook::countFill(const BookFill& fill, bool add) {
    const PositionKey key{fill.code, positionSide(fill)};
    Volumes& v = volumes[key];
    uint64_t& counted = fill.offset == '0' ? v.opened : v.closed;
    counted = add ? counted + fill.volume : counted - std::min<uint64_t>(counted, fill.volume);
    if (v.opened == 0 && v.closed == 0) volumes.erase(key);
}

uint32_t OrderBook::startTradingDay(uint32_t tradingDate) {
    const uint32_t previous = day;
    day = tradingDate;
    if (previous == 0 || previous == tradingDate) return 0;
    ordersById.clear();
    orderIdByTag.clear();
    fillsById.clear();
    volumes.clear();
    serverPositions.clear();
    ++changes;
    return previous;
}

void OrderBook::setServerPositions(std::vector<ServerPosition> positions) { serverPositions = std::move(positions); }

ReconcileCheck OrderBook::reconcileOrders(std::vector<BookOrder> server, uint64_t since, bool load) {
    ReconcileCheck check;
    check.serverRecords = server.size();
    std::unordered_set<std::string> answered;
    answered.reserve(server.size());
    for (BookOrder& theirs : server) {
        answered.insert(theirs.orderId);
        auto it = ordersById.find(theirs.orderId);
        if (it == ordersById.end()) {
            Difference d;
            d.kind = Difference::Kind::MissingOrder;
            d.serverOrder = theirs;
            noteMissing(check, load, std::move(d));
            storeOrder(std::move(theirs));
            continue;
        }
        const OrderEntry& ours = it->second;
        if (ours.order.state == theirs.state && ours.order.traded == theirs.traded) continue;
        if (ours.changedAt > since && isEarlierUpdate(theirs, ours.order)) {
            ++check.raced;  // a push newer than the answer moved the order on
            continue;
        }
        Difference d;
        d.kind = Difference::Kind::OrderDiffers;
        d.bookOrder = ours.order;
        d.serverOrder = theirs;
        check.differences.push_back(std::move(d));
        storeOrder(std::move(theirs));
    }
    const std::vector<std::string> unknown = unanswered(ordersById, answered, since, check, [](const OrderEntry& e) {
        Difference d;
        d.kind = Difference::Kind::UnknownOrder;
        d.bookOrder = e.order;
        return d;
    });
    for (const std::string& id : unknown) {
        auto it = ordersById.find(id);
        if (!it->second.order.tag.empty()) orderIdByTag.erase(it->second.order.tag);
        ordersById.erase(it);
        ++changes;
    }
    return check;
}

ReconcileCheck OrderBook::reconcileFills(std::vector<BookFill> server, uint64_t since, bool load) {
    ReconcileCheck check;
    check.serverRecords = server.size();
    std::unordered_set<std::string> answered;
    answered.reserve(server.size());
    for (BookFill& theirs : server) {
        answered.insert(theirs.tradeId);
        if (fillsById.count(theirs.tradeId) != 0) continue;
        Difference d;
        d.kind = Difference::Kind::MissingFill;
        d.serverFill = theirs;
        noteMissing(check, load, std::move(d));
        if (theirs.tag.empty()) {
            if (const BookOrder* order = this->order(theirs.orderId)) theirs.tag = order->tag;
        }
        addFill(std::move(theirs));
    }
    const std::vector<std::string> unknown = unanswered(fillsById, answered, since, check, [](const FillEntry& e) {
        Difference d;
        d.kind = Difference::Kind::UnknownFill;
        d.bookFill = e.fill;
        return d;
    });
    for (const std::string& id : unknown) removeFill(id);
    return check;
}

const BookOrder* OrderBook::order(const std::string& orderId) const {
    auto it = ordersById.find(orderId);
    return it == ordersById.end() ? nullptr : &it->second.order;
}

const BookOrder* OrderBook::orderByTag(const std::string& tag) const {
    auto it = orderIdByTag.find(tag);
    return it == orderIdByTag.end() ? nullptr : order(it->second);
}

const BookFill* OrderBook::fill(const std::string& tradeId) const {
    auto it = fillsById.find(tradeId);
    return it == fillsById.end() ? nullptr : &it->second.fill;
}

std::vector<const BookOrder*> OrderBook::orders() const {
    std::vector<const BookOrder*> all;
    all.reserve(ordersById.size());
    for (const auto& [id, entry] : ordersById) all.push_back(&entry.order);
    std::sort(all.begin(), all.end(), [](const BookOrder* a, const BookOrder* b) { return idBefore(a->orderId, b->orderId); });
    return all;
}

std::vector<const BookFill*> OrderBook::fills() const {
    std::vector<const BookFill*> all;
    all.reserve(fillsById.size());
    for (const auto& [id, entry] : fillsById) all.push_back(&entry.fill);
    std::sort(all.begin(), all.end(), [](const BookFill* a, const BookFill* b) { return idBefore(a->tradeId, b->tradeId); });
    return all;
}

std::vector<BookPosition> OrderBook::positions() const {
    std::map<PositionKey, BookPosition> lines;
    for (const auto& [key, v] : volumes) {
        BookPosition& p = lines[key];
        p.code = key.code;
        p.direction = key.direction;
        p.opened = v.opened;
        p.closed = v.closed;
    }
    for (const ServerPosition& s : serverPositions) {
        BookPosition& p = lines[PositionKey{s.code, s.direction}];
        p.code = s.code;
        p.direction = s.direction;
        p.server = s;
    }
    std::vector<BookPosition> all;
    all.reserve(lines.size());
    for (auto& [key, p] : lines) all.push_back(std::move(p));
    return all;
}

}  // namespace hvr::tools
