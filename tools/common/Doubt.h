// Requests in doubt: orders and cancels sent on a connection that ended
// before their answer came. The server may or may not have received them;
// nothing is sent again by itself. Each is resolved once, after the next
// successful login of the same user and the reconciliation that follows it
// (the book then holds the server's view):
//   an order is received when the server has an order with its tag (its id
//   and state say what became of it), never received when it has none (safe
//   to send again);
//   a cancel is received when its order is cancelled, never received when
//   the order is not (still queuing: send the cancel again if still wanted;
//   finished otherwise: nothing left to cancel).
// An answer that still arrives for an order in doubt (the module sends a
// request cut off by its own close on the next connection, where a server
// refuses it before the login) resolves it as well: accepted is received,
// refused never received (the server keeps no order for it).
//
// Pure: values and functions over the book, no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/OrderBook.h"
#include "common/SessionRecords.h"

namespace hvr::tools {

struct Doubt {
    enum class Kind { Order, Cancel };
    Kind kind = Kind::Order;
    std::string user;        // logged in when it was sent
    std::string tag;         // an order's tag
    std::string orderId;     // a cancel's order
    EntrustRecord order;     // an order as sent
    uint64_t connection = 0; // the connection it was sent on (1, 2, ...)
};

enum class DoubtOutcome { Received, NeverReceived };

struct DoubtResolution {
    Doubt doubt;
    DoubtOutcome outcome = DoubtOutcome::NeverReceived;
    std::optional<BookOrder> serverOrder;  // the order as the server has it, when it has it
    bool byAnswer = false;                 // resolved by an answer, not by a reconciliation
};

// Resolves a doubt against a book that holds the server's view of the
// doubt's user (right after that user's reconciliation).
DoubtResolution resolveDoubt(const Doubt& doubt, const OrderBook& book);

// Resolves an order in doubt by the answer that still came for its tag.
DoubtResolution resolveByAnswer(const Doubt& doubt, const EntrustRecord& answer, bool accepted);

// "order IF2412 buy open 1 @ 3500 limit day (tag 20261208.1.000004)", or
// "cancel of order 17".
std::string describeDoubt(const Doubt& doubt);

// "received: order 17, queuing, traded 0" / "never received: safe to send
// again", and for a cancel "received: order 17 is cancelled" / "never
// received: order 17 is queuing (send the cancel again if still wanted)".
std::string describeOutcome(const DoubtResolution& resolution);

const char* doubtOutcomeWord(DoubtOutcome outcome);  // "received" / "never received"
const char* doubtKindWord(Doubt::Kind kind);         // "order" / "cancel"

}  // namespace hvr::tools
