#include "common/Doubt.h"

#include "common/BookRecords.h"
#include "common/TradeWords.h"
#include "host/NXSRecords.h"

namespace hvr::tools {

namespace {

std::string stateOf(const BookOrder& order) {
    return std::string(orderStateWord(static_cast<unsigned char>(order.state))) + ", traded " +
           std::to_string(order.traded);
}

}  // namespace

DoubtResolution resolveDoubt(const Doubt& doubt, const OrderBook& book) {
    DoubtResolution resolution;
    resolution.doubt = doubt;
    const BookOrder* order = doubt.kind == Doubt::Kind::Order ? book.orderByTag(doubt.tag) : book.order(doubt.orderId);
    if (order != nullptr) resolution.serverOrder = *order;
    const bool received = doubt.kind == Doubt::Kind::Order
                              ? order != nullptr
                              : order != nullptr && order->state == static_cast<char>(kra::ORDER_STATE_CANCELLED);
    resolution.outcome = received ? DoubtOutcome::Received : DoubtOutcome::NeverReceived;
    return resolution;
}

DoubtResolution resolveByAnswer(const Doubt& doubt, const EntrustRecord& answer, bool accepted) {
    DoubtResolution resolution;
    resolution.doubt = doubt;
    resolution.byAnswer = true;
    resolution.outcome = accepted ? DoubtOutcome::Received : DoubtOutcome::NeverReceived;
    if (accepted) {
        // All the answer says of the order: accepted, nothing traded yet.
        OrderRecord order;
        static_cast<EntrustRecord&>(order) = answer;
        order.orderId = answer.entrustId;
        order.leftVolume = answer.volume;
        resolution.serverOrder = bookOrder(order, OrderSource::Answer);
    }
    return resolution;
}

std::string describeDoubt(const Doubt& doubt) {
    if (doubt.kind == Doubt::Kind::Cancel) return "cancel of order " + doubt.orderId;
    return "order " + describeEntrust(doubt.order) + " (tag " + doubt.tag + ")";
}

std::string describeOutcome(const DoubtResolution& r) {
    const std::optional<BookOrder>& order = r.serverOrder;
    if (r.doubt.kind == Doubt::Kind::Order) {
        if (r.outcome == DoubtOutcome::NeverReceived) {
            return r.byAnswer ? "never received: the server refused it after the reconnect; safe to send again"
                              : "never received: the server has no order with its tag; safe to send again";
        }
        if (r.byAnswer) return "received: accepted as order " + order->orderId + " after the reconnect";
        return "received: order " + order->orderId + ", " + stateOf(*order);
    }
    if (r.outcome == DoubtOutcome::Received) return "received: order " + r.doubt.orderId + " is cancelled";
    if (!order) return "never received: the server does not know order " + r.doubt.orderId;
    if (kra::isFinalOrderState(static_cast<unsigned char>(order->state)))
        return "never received: order " + r.doubt.orderId + " finished first (" + stateOf(*order) + ")";
    return "never received: order " + r.doubt.orderId + " is " + stateOf(*order) +
           " (send the cancel again if still wanted)";
}

const char* doubtOutcomeWord(DoubtOutcome outcome) {
    return outcome == DoubtOutcome::Received ? "received" : "never received";
}

const char* doubtKindWord(Doubt::Kind kind) { return kind == Doubt::Kind::Order ? "order" : "cancel"; }

}  // namespace hvr::tools
