#include "cli/SessionFacts.h"

#include "host/NXSRecords.h"

namespace hvr::cli {

bool isFinalOrderState(char state) { return kra::isFinalOrderState(static_cast<unsigned char>(state)); }

void SessionFacts::noteInsertSent(const std::string& tag) { ++pendingInserts[tag]; }

bool SessionFacts::noteInsertAnswered(const std::string& tag, bool accepted, const std::string& orderId) {
    if (accepted) {
        ++acceptedOrders;
        lastOrderId = orderId;
    } else {
        ++refusedOrders;
    }
    auto it = pendingInserts.find(tag);
    if (it == pendingInserts.end()) {
        ++unmatchedAnswers;
        return false;
    }
    if (--it->second == 0) pendingInserts.erase(it);
    return true;
}

void SessionFacts::noteCancelSent(const std::string& orderId) { pendingCancels.sent(orderId); }

std::string SessionFacts::noteCancelRefused() { return pendingCancels.refused(); }

bool SessionFacts::noteOrderPush(const tools::BookOrder& order) {
    ++orderPushes;
    const bool fresh = reconciler.book.applyOrder(order) != tools::Applied::Duplicate;
    if (!fresh) ++duplicatePushes;
    orderStates[order.orderId] += order.state;
    if (isFinalOrderState(order.state)) pendingCancels.settled(order.orderId);
    return fresh;
}

bool SessionFacts::noteTradePush(const tools::BookFill& fill) {
    ++tradePushes;
    const bool fresh = reconciler.book.applyFill(fill) != tools::Applied::Duplicate;
    if (!fresh) ++duplicatePushes;
    return fresh;
}

bool SessionFacts::answersOutstanding() const {
    return !pendingInserts.empty() || pendingQueries > 0 || !pendingCancels.empty();
}

std::optional<char> SessionFacts::latestState(const std::string& orderId) const {
    auto it = orderStates.find(orderId);
    if (it == orderStates.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

bool SessionFacts::hasSeenState(const std::string& orderId, char state) const {
    auto it = orderStates.find(orderId);
    return it != orderStates.end() && it->second.find(state) != std::string::npos;
}

}  // namespace hvr::cli
