// The send path: requests are framed on the caller's thread, appended to the
// send queue under a short lock, and written with at most one write in flight
// on the socket; the heartbeat rides on the same path.
#include <google/protobuf/message_lite.h>

#include <boost/asio/error.hpp>

#include "trader/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

void TraderHVR::sendMessage(const google::protobuf::MessageLite& message, uint32_t functionCode,
                            uint32_t requestNo) {
    // Framed outside sendLock, in a buffer each calling thread reuses.
    thread_local std::string packet;
    const std::size_t payloadSize = message.ByteSizeLong();
    PacketHeader header;
    header.functionCode = static_cast<uint16_t>(functionCode);
    header.packetLength = static_cast<uint32_t>(PACKET_HEADER_SIZE + payloadSize);
    header.requestNo = requestNo;
    packet.resize(PACKET_HEADER_SIZE + payloadSize);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&packet[0]);
    encodeHeader(header, bytes);
    message.SerializeWithCachedSizesToArray(bytes + PACKET_HEADER_SIZE);
    queuePacket(packet);
}

void TraderHVR::sendEmptyRequest(uint32_t functionCode, uint32_t requestNo) {
    thread_local std::string packet;
    packet.clear();
    appendRequestPacket(packet, functionCode, requestNo, nullptr, 0);
    queuePacket(packet);
}

void TraderHVR::queuePacket(const std::string& packet) {
    // One hold of sendLock appends and, unless a write is in flight, starts it.
    std::lock_guard<std::mutex> guard(sendLock);
    sendBuffer.append(packet);
    if (!stopped.load()) flushSendBufferLocked();  // else bytes stay queued until init and a new connection
}

void TraderHVR::flushSendBuffer() {
    if (stopped.load()) return;  // bytes stay queued until init and a new connection
    std::lock_guard<std::mutex> sendGuard(sendLock);
    flushSendBufferLocked();
}

void TraderHVR::flushSendBufferLocked() {
    if (writeInFlight || sendBuffer.empty()) return;  // the running write's completion sends them
    std::lock_guard<std::mutex> socketGuard(socketLock);
    if (!socket) return;
    writingBatch.swap(sendBuffer);
    sendBuffer.clear();
    writtenBytes = 0;
    writeInFlight = true;
    writeConnection = connectionId;
    startWriteLocked();
}

void TraderHVR::startWriteLocked() {
    const uint64_t connection = writeConnection;
    socket->async_write_some(
        boost::asio::buffer(writingBatch.data() + writtenBytes, writingBatch.size() - writtenBytes),
        [this, connection](const boost::system::error_code& error, std::size_t bytes) {
            handleWrite(error, bytes, connection);
        });
}

void TraderHVR::handleWrite(const boost::system::error_code& error, std::size_t bytes, uint64_t connection) {
    boost::system::error_code outcome = error;
    {
        std::lock_guard<std::mutex> sendGuard(sendLock);
        if (!outcome) {
            writtenBytes += bytes;
            if (writtenBytes < writingBatch.size()) {
                // A short write: the rest of the batch goes out before anything
                // queued after it, on the same connection only.
                std::lock_guard<std::mutex> socketGuard(socketLock);
                if (socket && connectionId == connection) {
                    startWriteLocked();
                    return;
                }
                outcome = boost::asio::error::not_connected;
            }
        }
        if (outcome == boost::asio::error::operation_aborted && writtenBytes == 0 && bytes == 0) {
            // Our own close cut the write off before any byte of the batch
            // left: it goes back to the front of the queue for the next
            // connection, ahead of what was queued after it.
            writingBatch.append(sendBuffer);
            sendBuffer.swap(writingBatch);
        }
        writeInFlight = false;
        writingBatch.clear();
        writtenBytes = 0;
    }
    if (outcome) {
        // A write cut off by our own close (disconnect, release, reconnect) is
        // not a send error. Otherwise the batch is lost: resending requests on
        // a new connection could duplicate orders.
        if (outcome != boost::asio::error::operation_aborted) log(kra::LOG_LEVEL_ERROR, LOG_SEND_ERROR);
        // A newer connection may already be up and waiting for this write to
        // end before it sends what is queued.
        if (!isLatestAttempt(connection)) flushSendBuffer();
        return;
    }
    flushSendBuffer();
}

void TraderHVR::onHeartbeat(const boost::system::error_code& error) {
    if (stopped.load() || error) return;
    bool open = false;
    {
        std::lock_guard<std::mutex> guard(socketLock);
        open = socket && socket->is_open();
    }
    if (open) sendEmptyRequest(FC_HEART_BEAT, 0);
}

}  // namespace hvr
