#include "cli/BookOutput.h"

#include "cli/RecordWords.h"
#include "common/TradeWords.h"

namespace hvr::cli {

using nlohmann::json;

namespace {

constexpr Align L = Align::Left;
constexpr Align R = Align::Right;

Cell signedCount(int64_t value) { return Cell{std::to_string(value), value}; }

json orderSide(const tools::BookOrder& o) {
    return {{"state", orderStateWord(o.state)}, {"traded", o.traded}, {"left", o.left}};
}

}  // namespace

RecordTable bookOrdersRecords(const tools::OrderBook& book) {
    RecordTable table{{{"OrderId", R}, {"Tag", L}, {"Time", L}, {"Code", L}, {"Side", L}, {"Offset", L},
                       {"Price", R}, {"Volume", R}, {"Traded", R}, {"Left", R}, {"State", L}},
                      {}};
    for (const tools::BookOrder* o : book.orders()) {
        table.rows.push_back({textCell(o->orderId), textCell(o->tag), timeCell(o->timeMs), textCell(o->code),
                              textCell(sideWord(o->direction)), textCell(offsetWord(o->offset)), priceCell(o->price),
                              countCell(o->volume), countCell(o->traded), countCell(o->left), textCell(orderStateWord(o->state))});
    }
    return table;
}

RecordTable bookPositionsRecords(const tools::OrderBook& book) {
    RecordTable table{{{"Code", L}, {"Side", L}, {"Opened", R}, {"Closed", R}, {"Net", R}, {"ServerPre", R},
                       {"ServerNew", R}},
                      {}};
    for (const tools::BookPosition& p : book.positions()) {
        const Cell none{"-", nullptr};
        table.rows.push_back({textCell(p.code), textCell(positionSideWord(p.direction)), countCell(p.opened), countCell(p.closed),
                              signedCount(p.net()), p.server ? countCell(p.server->preVolume) : none,
                              p.server ? countCell(p.server->newVolume) : none});
    }
    return table;
}

std::string bookSummary(const tools::OrderBook& book) {
    return "book: " + tools::countOf(book.orderCount(), "order", "orders") + ", " +
           tools::countOf(book.fillCount(), "fill", "fills") + ", " +
           tools::countOf(book.duplicates(), "duplicate", "duplicates") + ", trading date " +
           std::to_string(book.tradingDate());
}

json differenceJson(const tools::Difference& d) {
    json object = {{"kind", tools::differenceKindWord(d.kind)}, {"text", tools::describeDifference(d)}};
    const tools::BookOrder* order = d.serverOrder ? &*d.serverOrder : d.bookOrder ? &*d.bookOrder : nullptr;
    const tools::BookFill* fill = d.serverFill ? &*d.serverFill : d.bookFill ? &*d.bookFill : nullptr;
    if (order != nullptr) {
        object["orderId"] = order->orderId;
        object["code"] = order->code;
    }
    if (fill != nullptr) {
        object["tradeId"] = fill->tradeId;
        object["orderId"] = fill->orderId;
        object["code"] = fill->code;
        object["volume"] = fill->volume;
    }
    if (d.bookOrder) object["book"] = orderSide(*d.bookOrder);
    if (d.serverOrder) object["server"] = orderSide(*d.serverOrder);
    return object;
}

PrintedRecord reconcileRecord(const tools::ReconcileResult& r) {
    PrintedRecord out;
    out.text = "[book] " + tools::reconcileSummary(r);
    json summary = {{"type", "reconciled"},
                    {"id", r.id},
                    {"afterLogin", r.afterLogin},
                    {"interrupted", r.interrupted},
                    {"orders", r.serverOrders},
                    {"fills", r.serverFills},
                    {"differences", r.differences.size()},
                    {"loadedOrders", r.loadedOrders},
                    {"loadedFills", r.loadedFills},
                    {"raced", r.raced},
                    {"duplicates", r.duplicates},
                    {"elapsedMs", static_cast<double>(r.elapsed.count()) / 1000.0},
                    {"tradingDate", r.tradingDate},
                    {"warnings", r.warnings}};
    if (r.previousTradingDate != 0) summary["previousTradingDate"] = r.previousTradingDate;
    for (const tools::Difference& d : r.differences) {
        out.text += "\n  difference: " + tools::describeDifference(d);
        json object = differenceJson(d);
        object["type"] = "difference";
        object["reconciliation"] = r.id;
        out.objects.push_back(std::move(object));
    }
    const std::string newDay = tools::newDayNote(r);
    if (!newDay.empty()) out.text += "\n  " + newDay;
    for (const std::string& warning : r.warnings) out.text += "\n  warning at this login: " + warning;
    out.objects.push_back(std::move(summary));
    return out;
}

}  // namespace hvr::cli
