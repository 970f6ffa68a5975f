// The host's book of one trading day: orders by order id and by tag, fills by
// trade id, and positions per instrument and side derived from the fills,
// with the server's positions answer kept beside them.
//
// Updates are applied idempotently, so replayed pushes never count twice:
//   - a fill whose trade id is known is a duplicate and changes nothing;
//   - an order update that would move an order back (traded volume going
//     down, or an earlier state at the same traded volume: unknown, then
//     queuing, then part traded and queuing, then a final state) or that
//     repeats what the book holds is a duplicate and changes nothing.
// Duplicates are counted.
//
// Reconciliation compares the book with the server's answers to an orders
// and a trades query (reconcileOrders, reconcileFills), reports each
// difference and then holds the server's view. Every change the book applies
// gets a sequence number (changeCount()), so a reconciliation can tell what
// changed after its queries left: where the book is ahead of an answer
// because of such a change, the answer is older than the book, and that is
// a race, not a difference.
//
// Pure data and rules, no lock: each host keeps it under the lock of its
// session state. Texts are UTF-8; codes are the module's character values
// ('0' buy, '1' sell; '0' open, '1' close, '3' close today; states '0'..'6').
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace hvr::tools {

struct BookOrder {
    std::string orderId;
    std::string tag;
    std::string code;
    char direction = '0';
    char offset = '0';
    char state = '6';
    uint32_t volume = 0;
    uint32_t traded = 0;
    uint32_t left = 0;
    double price = 0.0;
    uint64_t timeMs = 0;  // milliseconds since the epoch (a push's seconds times 1000)
    uint32_t tradingDate = 0;
    std::string message;
};

struct BookFill {
    std::string tradeId;
    std::string orderId;
    std::string tag;  // empty in a trades answer
    std::string code;
    char direction = '0';
    char offset = '0';
    uint32_t volume = 0;
    double price = 0.0;
    double amount = 0.0;
    uint64_t timeMs = 0;
    uint32_t tradingDate = 0;
};

// One line of the server's positions answer.
struct ServerPosition {
    std::string code;
    char direction = '0';  // '0' long, '1' short
    uint32_t preVolume = 0;
    uint32_t newVolume = 0;
};

// A position per instrument and side, from the book's fills: open fills add
// to their side (a buy opens long), close fills take from the other side (a
// sell closes long). Yesterday's volume is not in it; `server` is.
struct BookPosition {
    std::string code;
    char direction = '0';  // '0' long, '1' short
    uint64_t opened = 0;
    uint64_t closed = 0;
    std::optional<ServerPosition> server;  // from the last positions answer, when it has this line
    int64_t net() const { return static_cast<int64_t>(opened) - static_cast<int64_t>(closed); }
};

struct Difference {
    enum class Kind {
        MissingOrder,  // the server has the order, the book does not
        OrderDiffers,  // state or traded volume differ
        UnknownOrder,  // the book has an order the server does not know
        MissingFill,   // the server has the fill, the book does not
        UnknownFill,   // the book has a fill the server does not know
    };
    Kind kind = Kind::MissingOrder;
    std::optional<BookOrder> bookOrder;    // as the book held it
    std::optional<BookOrder> serverOrder;  // as the server answered
    std::optional<BookFill> bookFill;
    std::optional<BookFill> serverFill;
};

// What one side of a reconciliation found.
struct ReconcileCheck {
    std::size_t serverRecords = 0;      // records in the server's answer
    std::vector<Difference> differences;
    std::size_t loaded = 0;             // taken into a new book without a difference
    std::size_t raced = 0;              // the book was ahead of the answer by a later change
};

// Whether an update was applied.
enum class Applied { New, Updated, Duplicate };

// Lifecycle rank of an order state: '6' unknown 0, '3' queuing 1, '1' part
// traded and queuing 2, the final states 3.
int orderStateRank(char state);

// True when `update` would move an order back from `known`: less traded, or
// an earlier state at the same traded volume.
bool isEarlierUpdate(const BookOrder& update, const BookOrder& known);

class OrderBook {
public:
    // A pushed order update. The tag of an order is kept when an update
    // carries none.
    Applied applyOrder(BookOrder order);
    // A pushed fill.
    Applied applyFill(BookFill fill);

    // The trading date of a successful login. A date other than the book's
    // (once it has one) starts a new day: orders, fills, positions and the
    // server's positions are dropped. Returns the previous date when that
    // happened, 0 otherwise.
    uint32_t startTradingDay(uint32_t tradingDate);
    uint32_t tradingDate() const { return day; }

    // The server's positions answer, shown beside the book's positions.
    void setServerPositions(std::vector<ServerPosition> positions);

    // Compares the server's orders answer with the book and takes the
    // server's view. `since` is changeCount() when the queries were sent;
    // `load` (a book that was never reconciled) takes what the book lacks
    // without calling it a difference.
    ReconcileCheck reconcileOrders(std::vector<BookOrder> server, uint64_t since, bool load);
    // The same for the server's trades answer. Fills in the answer carry no
    // tag; a fill keeps the book's.
    ReconcileCheck reconcileFills(std::vector<BookFill> server, uint64_t since, bool load);

    const BookOrder* order(const std::string& orderId) const;
    const BookOrder* orderByTag(const std::string& tag) const;
    const BookFill* fill(const std::string& tradeId) const;
    // Orders and fills in order-id / trade-id order (numeric ids by value).
    std::vector<const BookOrder*> orders() const;
    std::vector<const BookFill*> fills() const;
    // Every position with fills or a server line, by code then side.
    std::vector<BookPosition> positions() const;

    std::size_t orderCount() const { return ordersById.size(); }
    std::size_t fillCount() const { return fillsById.size(); }
    uint64_t duplicates() const { return duplicateCount; }
    // How many changes the book has applied; grows with every one.
    uint64_t changeCount() const { return changes; }

private:
    struct OrderEntry {
        BookOrder order;
        uint64_t changedAt = 0;
    };
    struct FillEntry {
        BookFill fill;
        uint64_t changedAt = 0;
    };
    struct PositionKey {
        std::string code;
        char direction;
        bool operator<(const PositionKey& other) const {
            return code != other.code ? code < other.code : direction < other.direction;
        }
    };
    struct Volumes {
        uint64_t opened = 0;
        uint64_t closed = 0;
    };

    void storeOrder(BookOrder order);
    void addFill(BookFill fill);
    void removeFill(const std::string& tradeId);
    void countFill(const BookFill& fill, bool add);

    std::unordered_map<std::string, OrderEntry> ordersById;
    std::unordered_map<std::string, std::string> orderIdByTag;
    std::unordered_map<std::string, FillEntry> fillsById;
    std::map<PositionKey, Volumes> volumes;
    std::vector<ServerPosition> serverPositions;
    uint32_t day = 0;
    uint64_t duplicateCount = 0;
    uint64_t changes = 0;
};

}  // namespace hvr::tools
