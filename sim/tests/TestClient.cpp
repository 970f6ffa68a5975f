#include "TestClient.h"

#include <poll.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <sys/socket.h>
#include <sys/time.h>

#include "net/Inflate.h"
#include "ops/LoginRequest.h"

namespace hvr::sim::testing {

namespace asio = boost::asio;

TestClient::TestClient(uint16_t port) : socket_(io_) {
    socket_.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    timeval timeout{5, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

void TestClient::send(uint16_t functionCode, uint32_t requestNo, const google::protobuf::MessageLite* message) {
    const std::string payload = message ? message->SerializeAsString() : std::string();
    std::string packet;
    appendRequestPacket(packet, functionCode, requestNo, payload.data(), payload.size());
    sendRaw(packet);
}

void TestClient::sendMany(uint16_t functionCode, const google::protobuf::MessageLite* message, uint32_t count) {
    const std::string payload = message ? message->SerializeAsString() : std::string();
    std::string packets;
    for (uint32_t i = 0; i < count; ++i) appendRequestPacket(packets, functionCode, i, payload.data(), payload.size());
    sendRaw(packets);
}

void TestClient::sendRaw(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }

void TestClient::readExactly(char* data, std::size_t size) {
    boost::system::error_code error;
    asio::read(socket_, asio::buffer(data, size), error);
    if (error) throw std::runtime_error("read: " + error.message());
}

ReceivedPacket TestClient::receive() {
    uint8_t header[PACKET_HEADER_SIZE];
    readExactly(reinterpret_cast<char*>(header), sizeof header);
    ReceivedPacket packet;
    packet.header = decodeHeader(header);
    if (packet.header.magic != PACKET_MAGIC || packet.header.packetLength < PACKET_HEADER_SIZE)
        throw std::runtime_error("bad header from the server");
    packet.payload.resize(packet.header.packetLength - PACKET_HEADER_SIZE);
    readExactly(packet.payload.data(), packet.payload.size());
    if (packet.header.rawLength != 0) {
        const std::size_t expected = packet.header.rawLength - PACKET_HEADER_SIZE;
        inflatePayload(packet.payload, expected + 1);
        if (packet.payload.size() != expected) throw std::runtime_error("compressed answer does not inflate");
    }
    return packet;
}

bool TestClient::closedByServer() {
    char byte;
    boost::system::error_code error;
    const std::size_t n = socket_.read_some(asio::buffer(&byte, 1), error);
    return n == 0 && (error == asio::error::eof || error == asio::error::connection_reset);
}

bool TestClient::silentFor(std::chrono::milliseconds limit) {
    pollfd watched{socket_.native_handle(), POLLIN, 0};
    return ::poll(&watched, 1, static_cast<int>(limit.count())) == 0;
}

exchg::AnsLogin TestClient::login(const std::string& user, const std::string& password, int64_t pushId) {
    exchg::ReqLogin request;
    buildLoginRequest(user, password, "test", pushId, request);
    send(FC_CMD_LOGIN, nextRequestNo_++, &request);
    return receiveAs<exchg::AnsLogin>(FC_CMD_LOGIN);
}

exchg::ReqOrderInsert limitOrder(const std::string& instrument, int32_t price, uint32_t qty,
                                 exchg::DirectionType direct, exchg::OffsetFlag offset, const std::string& tag) {
    exchg::ReqOrderInsert request;
    request.set_instrument(instrument);
    request.set_price(static_cast<uint32_t>(price));
    request.set_qty(qty);
    request.set_direct(direct);
    request.set_pxtype(exchg::PT_LimitPrice);
    request.set_timecond(exchg::TC_ValidInDay);
    request.set_offset(offset);
    request.set_usertag(tag);
    return request;
}

exchg::AnsOrderInsert TestClient::insert(const std::string& instrument, int32_t price, uint32_t qty,
                                         exchg::DirectionType direct, exchg::OffsetFlag offset) {
    const exchg::ReqOrderInsert request =
        limitOrder(instrument, price, qty, direct, offset, "tag" + std::to_string(nextRequestNo_));
    send(FC_CMD_ORDER_INSERT, nextRequestNo_++, &request);
    return receiveAs<exchg::AnsOrderInsert>(FC_CMD_ORDER_INSERT);
}

}  // namespace hvr::sim::testing
