// Sending the orders and trades queries so that the reconciler knows which
// answer is whose (common/Reconciler.h): each query is registered and sent
// as one step under the state's query mutex.
//
// Threads: any thread that may call the trader: the command runner's, and
// the network thread inside the listener's login callback. Never call with
// the state's lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "cli/SessionState.h"
#include "host/ITraderApi.h"

namespace hvr::cli {

// Runs change(facts) under the state's lock; when it returns true, a
// reconciliation is registered in the same step and its two queries are
// sent. Returns its id, or none when change returned false.
std::optional<uint64_t> reconcileIf(SessionState& state, kra::ITraderApi& trader, bool afterLogin,
                                    const std::function<bool(SessionFacts&)>& change);

// One orders or trades query of the host's own (its answer is printed).
// Returns the trader's result.
int sendOwnQuery(SessionState& state, kra::ITraderApi& trader, tools::Reconciler::Answer answer);

}  // namespace hvr::cli
