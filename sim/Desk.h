// The protocol side of the server: turns each received request into book
// operations, saves what changed, answers under the request's function code
// and routes pushes to every client logged in to the account. Knows nothing
// of sockets: a Session hands it decoded packets, and it answers through the
// DeskClient interface. Network thread only.
//
// Nothing is answered, pushed or numbered before it is saved: a request's
// changes are committed before its answer and pushes go out. When the save
// fails, the book is set back to the stored day (so the order, session and
// push ids it took are handed out again later), the request is refused with
// EC_DB_ERROR and a message saying why, and while the store keeps failing
// logins, orders and cancels are refused (a save is tried again at most
// once per storeRetryInterval, see StoreHealth). Queries are answered
// throughout, from the stored day.
//
// Lifetimes: the Book, the Store and the Faults outlive the Desk; a client is attached
// for as long as its connection lives and must be detached before it is
// destroyed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Book.h"
#include "DeskClient.h"
#include "Faults.h"
#include "Store.h"
#include "StoreHealth.h"
#include "net/WireFormat.h"

namespace google::protobuf {
class MessageLite;
}

namespace hvr::sim {

class Desk {
public:
    struct Options {
        std::size_t compressThreshold = 1024;
        // Consulted before a login (refusesLogins) and before each save
        // (saveFailure); not owned, outlives the Desk. None: no fault.
        Faults* faults = nullptr;
        // While saves fail: the shortest time between two tries, and so
        // between two error lines.
        std::chrono::milliseconds storeRetryInterval{1000};
        std::function<StoreHealth::Clock::time_point()> clock = StoreHealth::Clock::now;
    };

    Desk(Book& book, Store& store, Options options);

    void attach(DeskClient& client);
    void detach(DeskClient& client);

    // Handles one request packet. Returns false when it is malformed (a
    // payload that must parse does not); the caller then drops the client.
    bool handle(DeskClient& client, const PacketHeader& header, const std::string& payload);

    // Moves an instrument's last price; fills are saved and pushed. While
    // saves fail and no try is due, the price stays where it is.
    void moveLastPrice(const std::string& code, int64_t last);

    // The account a client is logged in to, 0 when none.
    uint32_t accountOf(DeskClient& client) const;

private:
    struct Login {
        uint32_t accountId = 0;
        std::string user;
    };

    bool onLogin(DeskClient& client, Login& login, const PacketHeader& header, const std::string& payload);
    bool onOrderInsert(DeskClient& client, const Login& login, const PacketHeader& header,
                       const std::string& payload);
    bool onOrderCancel(DeskClient& client, const Login& login, const PacketHeader& header,
                       const std::string& payload);
    void onQuery(DeskClient& client, const Login& login, const PacketHeader& header);

    void send(DeskClient& client, uint16_t functionCode, uint32_t requestNo,
              const google::protobuf::MessageLite& message);
    void sendPush(DeskClient& client, const PushRecord& push);
    void route(const std::vector<PushRecord>& pushes);

    // True when a write may be tried now; otherwise counts a refusal.
    bool mayWrite();
    // Saves what the book changed. False when the save failed: the book is
    // then back at the stored day. Throws std::runtime_error when the stored
    // day cannot be read back either (the server must stop).
    bool commit();

    Book& book_;
    Store& store_;
    Options options_;
    StoreHealth storeHealth_;
    std::map<DeskClient*, Login> clients_;
};

}  // namespace hvr::sim
