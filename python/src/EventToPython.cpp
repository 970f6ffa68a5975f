#include "python/src/EventToPython.h"

#include <pybind11/stl.h>

#include "common/TradeWords.h"

namespace py = pybind11;

namespace hvr::python {

namespace {

using namespace pybind11::literals;
using namespace hvr::tools;

py::dict entrustFields(const EntrustRecord& r) {
    return py::dict("code"_a = r.code, "volume"_a = r.volume, "price"_a = r.price, "direction"_a = r.direction,
                    "price_type"_a = r.priceType, "time_condition"_a = r.timeCondition, "offset"_a = r.offsetType,
                    "entrust_id"_a = r.entrustId, "tag"_a = r.userTag);
}

py::dict orderFields(const OrderRecord& r) {
    py::dict fields = entrustFields(r);
    fields["trading_date"] = r.tradingDate;
    fields["order_time"] = r.orderTime;
    fields["traded_volume"] = r.tradedVolume;
    fields["left_volume"] = r.leftVolume;
    fields["state"] = r.orderState;
    fields["order_type"] = r.orderType;
    fields["order_id"] = r.orderId;
    fields["state_message"] = r.stateMessage;
    return fields;
}

py::dict tradeFields(const TradeRecord& r) {
    return py::dict("code"_a = r.code, "trade_id"_a = r.tradeId, "order_id"_a = r.orderId, "tag"_a = r.userTag,
                    "trading_date"_a = r.tradingDate, "trade_time"_a = r.tradeTime, "volume"_a = r.volume,
                    "price"_a = r.price, "direction"_a = r.direction, "offset"_a = r.offsetType,
                    "order_type"_a = r.orderType, "amount"_a = r.amount);
}

py::dict positionFields(const PositionRecord& r) {
    return py::dict("code"_a = r.code, "currency"_a = r.currency, "direction"_a = r.direction,
                    "pre_volume"_a = r.preVolume, "new_volume"_a = r.newVolume,
                    "avail_pre_volume"_a = r.availPreVolume, "avail_new_volume"_a = r.availNewVolume,
                    "total_cost"_a = r.totalCost, "margin"_a = r.margin, "avg_price"_a = r.avgPrice,
                    "dyn_profit"_a = r.dynProfit);
}

py::dict accountFields(const AccountRecord& r) {
    return py::dict("account_name"_a = r.accountName, "currency"_a = r.currency, "balance"_a = r.balance,
                    "pre_balance"_a = r.preBalance, "margin"_a = r.margin, "commission"_a = r.commission,
                    "frozen_margin"_a = r.frozenMargin, "frozen_commission"_a = r.frozenCommission,
                    "close_profit"_a = r.closeProfit, "dyn_profit"_a = r.dynProfit, "deposit"_a = r.deposit,
                    "withdraw"_a = r.withdraw, "available"_a = r.available);
}

// The book's codes as the module's character values, like every record's.
uint32_t code(char c) { return static_cast<unsigned char>(c); }

py::object bookOrderFields(const BookOrder& o) {
    return py::dict("order_id"_a = o.orderId, "tag"_a = o.tag, "code"_a = o.code, "direction"_a = code(o.direction),
                    "offset"_a = code(o.offset), "state"_a = code(o.state), "volume"_a = o.volume, "traded"_a = o.traded,
                    "left"_a = o.left, "price"_a = o.price, "order_time"_a = o.timeMs,
                    "trading_date"_a = o.tradingDate, "message"_a = o.message);
}

py::object bookFillFields(const BookFill& f) {
    return py::dict("trade_id"_a = f.tradeId, "order_id"_a = f.orderId, "tag"_a = f.tag, "code"_a = f.code,
                    "direction"_a = code(f.direction), "offset"_a = code(f.offset), "volume"_a = f.volume,
                    "price"_a = f.price, "amount"_a = f.amount, "trade_time"_a = f.timeMs,
                    "trading_date"_a = f.tradingDate);
}

template <typename Record, typename Fields>
py::object optionalOf(const std::optional<Record>& record, Fields fields) {
    return record ? fields(*record) : py::none();
}

py::dict bookPositionFields(const BookPosition& p) {
    return py::dict("code"_a = p.code, "direction"_a = code(p.direction), "opened"_a = p.opened, "closed"_a = p.closed,
                    "server_pre"_a = p.server ? py::cast(p.server->preVolume) : py::none(),
                    "server_new"_a = p.server ? py::cast(p.server->newVolume) : py::none());
}

py::dict differenceFields(const Difference& d) {
    return py::dict("kind"_a = differenceKindWord(d.kind), "text"_a = describeDifference(d),
                    "book_order"_a = optionalOf(d.bookOrder, bookOrderFields),
                    "server_order"_a = optionalOf(d.serverOrder, bookOrderFields),
                    "book_fill"_a = optionalOf(d.bookFill, bookFillFields),
                    "server_fill"_a = optionalOf(d.serverFill, bookFillFields));
}

template <typename Record, typename Fields>
py::list listOf(const std::vector<Record>& records, Fields fields) {
    py::list list;
    for (const Record& record : records) list.append(fields(record));
    return list;
}

py::list queryWords(const std::vector<QueryKind>& kinds) {
    py::list words;
    for (QueryKind kind : kinds) words.append(queryKindWord(kind));
    return words;
}

struct ToPython {
    py::tuple operator()(const ConnectionEvent& e) const {
        return py::make_tuple("connection", py::dict("kind"_a = e.kind, "code"_a = e.code));
    }
    py::tuple operator()(const LoginSentEvent& e) const {
        return py::make_tuple("login_sent", py::dict("user"_a = e.user, "automatic"_a = e.automatic));
    }
    py::tuple operator()(const LoginEvent& e) const {
        return py::make_tuple("login", py::dict("succeeded"_a = e.succeeded, "message"_a = e.message,
                                                "trading_date"_a = e.tradingDate, "user"_a = e.user));
    }
    py::tuple operator()(const LoginRefusedEvent& e) const {
        return py::make_tuple("login_refused", py::dict("user"_a = e.user, "message"_a = e.message,
                                                        "automatic"_a = e.automatic, "restoring"_a = e.restoringUser));
    }
    py::tuple operator()(const EntrustAnswerEvent& e) const {
        return py::make_tuple("entrust_answer",
                              py::dict("entrust"_a = entrustFields(e.entrust), "refused"_a = e.refused,
                                       "error_code"_a = e.errorCode, "error"_a = e.errorText));
    }
    py::tuple operator()(const CancelRefusedEvent& e) const {
        return py::make_tuple("cancel_refused",
                              py::dict("code"_a = e.code, "message"_a = e.message, "order_id"_a = e.orderId));
    }
    py::tuple operator()(const AccountsEvent& e) const {
        return py::make_tuple("accounts", listOf(e.accounts, accountFields));
    }
    py::tuple operator()(const PositionsEvent& e) const {
        return py::make_tuple("positions", listOf(e.positions, positionFields));
    }
    py::tuple operator()(const OrdersEvent& e) const { return py::make_tuple("orders", listOf(e.orders, orderFields)); }
    py::tuple operator()(const TradesEvent& e) const { return py::make_tuple("trades", listOf(e.trades, tradeFields)); }
    py::tuple operator()(const OrderPushEvent& e) const {
        py::dict fields = orderFields(e.order);
        fields["duplicate"] = e.duplicate;
        fields["replayed"] = e.replayed;
        return py::make_tuple("order_push", fields);
    }
    py::tuple operator()(const TradePushEvent& e) const {
        py::dict fields = tradeFields(e.trade);
        fields["duplicate"] = e.duplicate;
        fields["replayed"] = e.replayed;
        return py::make_tuple("trade_push", fields);
    }
    py::tuple operator()(const ReconciledEvent& e) const {
        py::dict fields = reconciledToPython(e.result);
        fields["user"] = e.user;
        return py::make_tuple("reconciled", fields);
    }
    py::tuple operator()(const NewDayCheckedEvent& e) const {
        return py::make_tuple("new_day_checked",
                              py::dict("user"_a = e.user, "trading_date"_a = e.tradingDate,
                                       "missing_orders"_a = e.missingOrders, "missing_fills"_a = e.missingFills,
                                       "other_differences"_a = e.otherDifferences, "warning"_a = e.warning,
                                       "text"_a = describeNewDayCheck(e)));
    }
    py::tuple operator()(const InDoubtEvent& e) const {
        return py::make_tuple("in_doubt", py::dict("doubts"_a = listOf(e.doubts, doubtToPython),
                                                   "lost_queries"_a = queryWords(e.lostQueries)));
    }
    py::tuple operator()(const DoubtResolvedEvent& e) const {
        const DoubtResolution& r = e.resolution;
        return py::make_tuple(
            "doubt_resolved",
            py::dict("doubt"_a = doubtToPython(r.doubt), "received"_a = r.outcome == DoubtOutcome::Received,
                     "order"_a = optionalOf(r.serverOrder, bookOrderFields), "by_answer"_a = r.byAnswer,
                     "text"_a = describeOutcome(r)));
    }
    py::tuple operator()(const LogEvent& e) const {
        return py::make_tuple("log", py::dict("level"_a = e.level, "text"_a = e.text));
    }
};

}  // namespace

bool reachesPython(const tools::SessionEvent& event) { return !std::holds_alternative<LoginSentEvent>(event); }

py::dict reconciledToPython(const ReconcileResult& r) {
    return py::dict("id"_a = r.id, "after_login"_a = r.afterLogin, "interrupted"_a = r.interrupted,
                    "orders"_a = r.serverOrders, "fills"_a = r.serverFills,
                    "differences"_a = listOf(r.differences, differenceFields), "loaded_orders"_a = r.loadedOrders,
                    "loaded_fills"_a = r.loadedFills, "raced"_a = r.raced, "duplicates"_a = r.duplicates,
                    "elapsed"_a = static_cast<double>(r.elapsed.count()) / 1e6, "trading_date"_a = r.tradingDate,
                    "previous_trading_date"_a = r.previousTradingDate, "warnings"_a = r.warnings,
                    "summary"_a = reconcileSummary(r), "new_day"_a = newDayNote(r), "user"_a = std::string());
}

py::dict bookToPython(const BookSnapshot& book) {
    return py::dict("orders"_a = listOf(book.orders, bookOrderFields), "fills"_a = listOf(book.fills, bookFillFields),
                    "positions"_a = listOf(book.positions, bookPositionFields), "duplicates"_a = book.duplicates,
                    "trading_date"_a = book.tradingDate);
}

py::dict doubtToPython(const Doubt& d) {
    return py::dict("kind"_a = doubtKindWord(d.kind), "user"_a = d.user, "tag"_a = d.tag, "order_id"_a = d.orderId,
                    "order"_a = d.kind == Doubt::Kind::Order ? py::object(entrustFields(d.order)) : py::none(),
                    "text"_a = describeDoubt(d));
}

py::dict unansweredToPython(const Unanswered& u) {
    return py::dict("orders"_a = u.orderTags, "cancels"_a = u.cancelOrderIds, "queries"_a = queryWords(u.queries),
                    "reconciliations"_a = u.reconciliations, "in_doubt"_a = listOf(u.doubts, doubtToPython),
                    "text"_a = describeUnanswered(u));
}

py::tuple eventToPython(const Event& event) {
    py::tuple kindAndPayload = std::visit(ToPython{}, event.payload);
    return py::make_tuple(kindAndPayload[0], kindAndPayload[1], event.receivedNs);
}

}  // namespace hvr::python
