// The protocol side of the server: turns each received request into book
// operations, saves what changed, answers under the request's function code
// and routes pushes to every client logged in to the account. Knows nothing
// of sockets: a Session hands it decoded packets, and it answers through the
// DeskClient interface. Network thread only.
//
// Lifetimes: the Book and the Store outlive the Desk; a client is attached
// for as long as its connection lives and must be detached before it is
// destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Book.h"
#include "DeskClient.h"
#include "Store.h"
#include "net/WireFormat.h"

namespace google::protobuf {
class MessageLite;
}

namespace hvr::sim {

class Desk {
public:
    struct Options {
        std::size_t compressThreshold = 1024;
        bool refuseLogins = false;  // fault injection: every login gets EC_WRONG_PASSWORD
    };

    Desk(Book& book, Store& store, Options options);

    void attach(DeskClient& client);
    void detach(DeskClient& client);

    // Handles one request packet. Returns false when it is malformed (a
    // payload that must parse does not); the caller then drops the client.
    bool handle(DeskClient& client, const PacketHeader& header, const std::string& payload);

    // Moves an instrument's last price; fills are saved and pushed.
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
    void save();

    Book& book_;
    Store& store_;
    Options options_;
    std::map<DeskClient*, Login> clients_;
};

}  // namespace hvr::sim
