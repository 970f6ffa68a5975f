#include "cli/ReconcileQueries.h"

#include <chrono>
#include <mutex>

namespace hvr::cli {

std::optional<uint64_t> reconcileIf(SessionState& state, kra::ITraderApi& trader, bool afterLogin,
                                    const std::function<bool(SessionFacts&)>& change) {
    std::lock_guard<std::mutex> sending(state.querySending());
    const std::optional<uint64_t> id = state.update([&](SessionFacts& f) -> std::optional<uint64_t> {
        if (!change(f)) return std::nullopt;
        return f.reconciler.start(afterLogin, std::chrono::steady_clock::now());
    });
    if (id) {
        trader.queryOrders();
        trader.queryTrades();
    }
    return id;
}

int sendOwnQuery(SessionState& state, kra::ITraderApi& trader, tools::Reconciler::Answer answer) {
    std::lock_guard<std::mutex> sending(state.querySending());
    state.update([&](SessionFacts& f) {
        f.reconciler.hostQuery(answer);
        ++f.pendingQueries;
    });
    return answer == tools::Reconciler::Answer::Orders ? trader.queryOrders() : trader.queryTrades();
}

}  // namespace hvr::cli
