// A tiny blocking client of the wire protocol for the loopback tests: sends
// request packets, reads whole packets back (inflating compressed ones) and
// notices when the server closes. Every read gives up after a few seconds
// so that a missing answer fails the test instead of hanging it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <string>

#include "exchg.pb.h"
#include "net/WireFormat.h"

namespace hvr::sim::testing {

struct ReceivedPacket {
    PacketHeader header;
    std::string payload;  // inflated when the packet came compressed
};

// A limit order valid for the day.
exchg::ReqOrderInsert limitOrder(const std::string& instrument, int32_t price, uint32_t qty,
                                 exchg::DirectionType direct, exchg::OffsetFlag offset = exchg::OF_Open,
                                 const std::string& tag = "");

class TestClient {
public:
    explicit TestClient(uint16_t port);

    void send(uint16_t functionCode, uint32_t requestNo, const google::protobuf::MessageLite* message = nullptr);
    // count packets of the same request in one write, numbered 0 to count - 1.
    void sendMany(uint16_t functionCode, const google::protobuf::MessageLite* message, uint32_t count);
    void sendRaw(const std::string& bytes);

    // The next packet; throws std::runtime_error on timeout or when the
    // connection ends.
    ReceivedPacket receive();

    // The next packet, which must carry functionCode, parsed as M.
    template <typename M>
    M receiveAs(uint16_t functionCode) {
        const ReceivedPacket packet = receive();
        if (packet.header.functionCode != functionCode)
            throw std::runtime_error("expected function code " + std::to_string(functionCode) + ", got " +
                                     std::to_string(packet.header.functionCode));
        M message;
        if (!message.ParseFromString(packet.payload)) throw std::runtime_error("answer does not parse");
        return message;
    }

    // The next push, which must be FC_PUSH_MESSAGE.
    exchg::PushMessage receivePush() { return receiveAs<exchg::PushMessage>(FC_PUSH_MESSAGE); }

    // True when the server closes the connection before sending anything
    // more (within the read timeout).
    bool closedByServer();

    // True when the server neither sends anything nor closes the connection
    // for that long.
    bool silentFor(std::chrono::milliseconds limit);

    exchg::AnsLogin login(const std::string& user, const std::string& password, int64_t pushId = -1);
    exchg::AnsOrderInsert insert(const std::string& instrument, int32_t price, uint32_t qty,
                                 exchg::DirectionType direct, exchg::OffsetFlag offset = exchg::OF_Open);

private:
    void readExactly(char* data, std::size_t size);

    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    uint32_t nextRequestNo_ = 1;
};

}  // namespace hvr::sim::testing
