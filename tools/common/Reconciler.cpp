#include "common/Reconciler.h"

#include <algorithm>

#include "common/TradeWords.h"

namespace hvr::tools {

void Reconciler::loggedIn(uint32_t tradingDate) {
    const uint32_t previous = book.startTradingDay(tradingDate);
    if (previous != 0) rolledFrom = previous;
}

void Reconciler::connected() {
    loginWarnings.clear();
    gatheringWarnings = true;
}

void Reconciler::noteWarning(std::string text) {
    if (gatheringWarnings) loginWarnings.push_back(text);
    for (Pending& p : pending) {
        if (p.result.afterLogin) p.result.warnings.push_back(text);
    }
}

void Reconciler::start(uint64_t id, bool afterLogin, SteadyTime now) {
    Pending p;
    p.result.id = id;
    p.result.afterLogin = afterLogin;
    p.since = book.changeCount();
    p.load = !everReconciled;
    p.started = now;
    if (afterLogin) {
        p.result.warnings = std::move(loginWarnings);
        loginWarnings.clear();
        gatheringWarnings = false;
    }
    pending.push_back(std::move(p));
}

Reconciler::Pending* Reconciler::find(uint64_t id) {
    auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.result.id == id; });
    return it == pending.end() ? nullptr : &*it;
}

void Reconciler::takeOrders(uint64_t id, std::vector<BookOrder> server) {
    Pending* p = find(id);
    if (p == nullptr || p->ordersTaken) return;
    ReconcileCheck check = book.reconcileOrders(std::move(server), p->since, p->load);
    p->ordersTaken = true;
    everReconciled = true;
    p->result.serverOrders = check.serverRecords;
    p->result.loadedOrders = check.loaded;
    p->result.raced += check.raced;
    p->result.differences = std::move(check.differences);
}

std::optional<ReconcileResult> Reconciler::takeFills(uint64_t id, std::vector<BookFill> server, SteadyTime now) {
    Pending* p = find(id);
    if (p == nullptr) return std::nullopt;
    ReconcileCheck check = book.reconcileFills(std::move(server), p->since, p->load);
    p->result.serverFills = check.serverRecords;
    p->result.loadedFills = check.loaded;
    p->result.raced += check.raced;
    for (Difference& d : check.differences) p->result.differences.push_back(std::move(d));
    return finish(id, now, false);
}

ReconcileResult Reconciler::finish(uint64_t id, SteadyTime now, bool interrupted) {
    auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.result.id == id; });
    ReconcileResult result = std::move(it->result);
    result.interrupted = interrupted;
    result.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - it->started);
    result.duplicates = book.duplicates();
    result.tradingDate = book.tradingDate();
    if (result.afterLogin && !interrupted) {
        result.previousTradingDate = rolledFrom;
        rolledFrom = 0;
    }
    pending.erase(it);
    return result;
}

std::vector<ReconcileResult> Reconciler::connectionEnded(SteadyTime now) {
    gatheringWarnings = false;
    std::vector<ReconcileResult> interrupted;
    while (!pending.empty()) interrupted.push_back(finish(pending.front().result.id, now, true));
    return interrupted;
}

const char* differenceKindWord(Difference::Kind kind) {
    switch (kind) {
        case Difference::Kind::MissingOrder: return "missing order";
        case Difference::Kind::OrderDiffers: return "order differs";
        case Difference::Kind::UnknownOrder: return "unknown order";
        case Difference::Kind::MissingFill: return "missing fill";
        case Difference::Kind::UnknownFill: return "unknown fill";
    }
    return "?";
}

namespace {

// "order 17 IF2412 buy open 1 @ 3500"
std::string orderWords(const BookOrder& o) {
    return "order " + o.orderId + " " + o.code + " " + sideWord(o.direction) + " " + offsetWord(o.offset) + " " +
           std::to_string(o.volume) + " @ " + formatPrice(o.price);
}

// "filled, traded 1"
std::string progressWords(const BookOrder& o) {
    return std::string(orderStateWord(o.state)) + ", traded " + std::to_string(o.traded);
}

// "fill 23 of order 17 IF2412 buy open 1 @ 3500"
std::string fillWords(const BookFill& f) {
    return "fill " + f.tradeId + " of order " + f.orderId + " " + f.code + " " + sideWord(f.direction) + " " +
           offsetWord(f.offset) + " " + std::to_string(f.volume) + " @ " + formatPrice(f.price);
}

}  // namespace

std::string describeDifference(const Difference& d) {
    switch (d.kind) {
        case Difference::Kind::MissingOrder:
            return orderWords(*d.serverOrder) + ": the server has it (" + progressWords(*d.serverOrder) +
                   "), the book does not";
        case Difference::Kind::OrderDiffers:
            return orderWords(*d.serverOrder) + ": the book has " + progressWords(*d.bookOrder) +
                   "; the server has " + progressWords(*d.serverOrder);
        case Difference::Kind::UnknownOrder:
            return orderWords(*d.bookOrder) + ": in the book (" + progressWords(*d.bookOrder) +
                   "), the server does not know it";
        case Difference::Kind::MissingFill:
            return fillWords(*d.serverFill) + ": the server has it, the book does not";
        case Difference::Kind::UnknownFill:
            return fillWords(*d.bookFill) + ": in the book, the server does not know it";
    }
    return "?";
}

std::string reconcileSummary(const ReconcileResult& r) {
    if (r.interrupted)
        return "reconciliation interrupted: the connection ended before the server answered (" +
               countOf(r.differences.size(), "difference", "differences") + " found so far)";
    std::string text = "reconciled: " + countOf(r.serverOrders, "order", "orders") + ", " +
                       countOf(r.serverFills, "fill", "fills") + ", " +
                       countOf(r.differences.size(), "difference", "differences");
    if (r.loadedOrders + r.loadedFills > 0)
        text += "; loaded into the new book: " + countOf(r.loadedOrders, "order", "orders") + ", " +
                countOf(r.loadedFills, "fill", "fills");
    if (r.raced > 0) text += "; " + countOf(r.raced, "update", "updates") + " newer than the answers kept";
    text += "; " + countOf(r.duplicates, "duplicate", "duplicates") + " so far";
    const auto ms = r.elapsed.count() / 1000;
    text += " (" + formatCount(static_cast<uint64_t>(ms)) + " ms)";
    return text;
}

std::string newDayNote(const ReconcileResult& r) {
    if (r.previousTradingDate == 0) return {};
    return "new trading day " + std::to_string(r.tradingDate) + " (the book was on " +
           std::to_string(r.previousTradingDate) + "): the book started empty";
}

}  // namespace hvr::tools
