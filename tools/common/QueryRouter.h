// Who asked each query the server is still to answer. The module matches
// answers to requests by function code alone and the server answers each
// code in the order asked, so per kind of query a queue of askers says whose
// the next answer is: a reconciliation of one user's book, the host itself
// (its answer is shown as usual) or the session's catch-up marker (a funds
// query whose answer only ends a login's catch-up and is shown to nobody),
// and for which user it was asked. A host
// registers a query and sends it as one step, with no other query of that
// kind in between (the session core sends them under one mutex).
//
// When a connection ends, queries still on their way are never answered:
// clear() empties every queue.
//
// Pure data and rules, no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace hvr::tools {

enum class QueryKind { Account, Positions, Orders, Trades };

// "funds", "positions", "orders", "trades".
inline const char* queryKindWord(QueryKind kind) {
    switch (kind) {
        case QueryKind::Account: return "funds";
        case QueryKind::Positions: return "positions";
        case QueryKind::Orders: return "orders";
        case QueryKind::Trades: return "trades";
    }
    return "?";
}

struct Asker {
    std::string user;             // logged in when the query was sent
    uint64_t reconciliation = 0;  // the reconciliation it belongs to; 0: the host's own query
    bool marker = false;          // the end of a login's catch-up: nobody's answer
};

class QueryRouter {
public:
    void sent(QueryKind kind, Asker asker) { queue(kind).push_back(std::move(asker)); }
    // The query registered last was not sent after all.
    void withdrawLast(QueryKind kind) {
        if (!queue(kind).empty()) queue(kind).pop_back();
    }
    // An answer arrived: who asked it; none when nobody did.
    std::optional<Asker> answered(QueryKind kind) {
        std::deque<Asker>& q = queue(kind);
        if (q.empty()) return std::nullopt;
        Asker asker = std::move(q.front());
        q.pop_front();
        return asker;
    }
    // The host's own queries still unanswered, oldest first per kind.
    std::vector<QueryKind> hostQueries() const {
        std::vector<QueryKind> kinds;
        for (std::size_t i = 0; i < queues.size(); ++i) {
            for (const Asker& asker : queues[i])
                if (asker.reconciliation == 0 && !asker.marker) kinds.push_back(static_cast<QueryKind>(i));
        }
        return kinds;
    }
    // The connection ended: the host's own queries that will never be
    // answered; every queue is emptied.
    std::vector<QueryKind> clear() {
        std::vector<QueryKind> lost = hostQueries();
        for (std::deque<Asker>& q : queues) q.clear();
        return lost;
    }

private:
    std::deque<Asker>& queue(QueryKind kind) { return queues[static_cast<std::size_t>(kind)]; }

    std::array<std::deque<Asker>, 4> queues;
};

}  // namespace hvr::tools
