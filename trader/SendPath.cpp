// The send path: requests are framed on the caller's thread and appended to
// the send queue under sendLock. When a connection is up and no write is in
// flight, the caller writes the queue to the socket at once with a
// non-blocking send; what the socket does not take goes on asynchronously,
// with one write in flight whose completion, on the network thread, starts the
// next. The heartbeat rides on the same path.
#include <google/protobuf/message_lite.h>
#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <optional>

#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

namespace {

// The header of an outgoing request: never compressed, so rawLength stays 0.
void encodeRequestHeader(uint8_t* bytes, uint32_t functionCode, uint32_t requestNo, std::size_t payloadSize) {
    PacketHeader header;
    header.functionCode = static_cast<uint16_t>(functionCode);
    header.packetLength = static_cast<uint32_t>(PACKET_HEADER_SIZE + payloadSize);
    header.requestNo = requestNo;
    encodeHeader(header, bytes);
}

}  // namespace

bool TraderHVR::sendMessage(const google::protobuf::MessageLite& message, uint32_t functionCode,
                            uint32_t requestNo) {
    // Framed outside sendLock, in a buffer each calling thread reuses.
    thread_local std::string packet;
    const std::size_t payloadSize = message.ByteSizeLong();
    packet.resize(PACKET_HEADER_SIZE + payloadSize);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&packet[0]);
    encodeRequestHeader(bytes, functionCode, requestNo, payloadSize);
    message.SerializeWithCachedSizesToArray(bytes + PACKET_HEADER_SIZE);
    return queuePacket(packet.data(), packet.size(), QueueLimit::Applies);
}

bool TraderHVR::sendEmptyRequest(uint32_t functionCode, uint32_t requestNo) {
    uint8_t bytes[PACKET_HEADER_SIZE];
    encodeRequestHeader(bytes, functionCode, requestNo, 0);
    return queuePacket(reinterpret_cast<const char*>(bytes), sizeof bytes, QueueLimit::Applies);
}

void TraderHVR::sendHeartbeat() {
    uint8_t bytes[PACKET_HEADER_SIZE];
    encodeRequestHeader(bytes, FC_HEART_BEAT, 0, 0);
    queuePacket(reinterpret_cast<const char*>(bytes), sizeof bytes, QueueLimit::Exempt);
}

bool TraderHVR::queuePacket(const char* data, std::size_t size, QueueLimit limit) {
    // Before any lock: another thread of the parent may have held one at the
    // fork.
    if (copiedByFork()) return false;
    int refused = 0;
    std::size_t limitBytes = 0;
    {
        // One hold of sendLock appends and, unless a write is in flight or
        // there is no connection, writes. Without a connection the bytes wait
        // here for the next one.
        MutexLock guard(&sendLock);
        const std::size_t queued = sendBuffer.size() + (writingBatch.size() - writtenBytes);
        if (limit == QueueLimit::Exempt || queued + size <= sendQueueLimit) {
            sendBuffer.append(data, size);
            startWriteIfIdleLocked();
            return true;
        }
        // Only a server that stopped reading gets here: one line a second at
        // most, counting what was refused since the last.
        refused = queueFullLine.refused(QueueFullLine::Clock::now());
        if (refused == 0) return false;
        limitBytes = sendQueueLimit;
    }
    reporter.log(kra::LOG_LEVEL_ERROR, LOG_SEND_QUEUE_FULL, static_cast<unsigned long long>(limitBytes), refused);
    return false;
}

void TraderHVR::startWriteIfIdleLocked() {
    if (writeInFlight || sendBuffer.empty() || liveDescriptor < 0) return;
    writingBatch.swap(sendBuffer);
    sendBuffer.clear();
    writtenBytes = 0;
    writeAttempt = liveAttempt;
    // Most batches fit the socket's send buffer whole: send them here, without
    // a round through the network thread. Anything else (a part left over, a
    // full buffer, an error) goes the asynchronous way, whose completion
    // reports it on the network thread.
    const ssize_t sent =
        ::send(liveDescriptor, writingBatch.data(), writingBatch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) writtenBytes = static_cast<std::size_t>(sent);
    if (writtenBytes == writingBatch.size()) {
        writingBatch.clear();
        writtenBytes = 0;
        return;
    }
    writeInFlight = true;
    if (onNetworkThread()) {
        continueWriteLocked();
        return;
    }
    // The socket object is the network thread's: the rest goes on there.
    const uint64_t attempt = writeAttempt;
    boost::asio::post(ioService, [this, attempt] { resumeWrite(attempt); });
}

void TraderHVR::resumeWrite(uint64_t attempt) {
    {
        MutexLock guard(&sendLock);
        if (liveDescriptor >= 0 && liveAttempt == attempt) {
            continueWriteLocked();
            return;
        }
    }
    // The connection ended before the rest could go on: as if our close had
    // cut the write off (back to the queue when no byte of it left).
    handleWrite(boost::asio::error::operation_aborted, 0, attempt);
}

void TraderHVR::continueWriteLocked() {
    // The live descriptor is the network thread's socket: only this thread
    // replaces it, and withdraws it from the send path first.
    if (testSeams.asyncWriteStarting) testSeams.asyncWriteStarting();
    const uint64_t attempt = writeAttempt;
    socket->async_write_some(
        boost::asio::buffer(writingBatch.data() + writtenBytes, writingBatch.size() - writtenBytes),
        [this, attempt](const boost::system::error_code& error, std::size_t bytes) {
            handleWrite(error, bytes, attempt);
        });
}

void TraderHVR::handleWrite(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt) {
    std::optional<RequestCount> dropped;
    std::optional<int> putBack;
    {
        MutexLock guard(&sendLock);
        if (!error) {
            writtenBytes += bytes;
            if (writtenBytes < writingBatch.size()) {
                // A short write: the rest of the batch goes out before anything
                // queued after it, on the same connection only.
                if (liveDescriptor >= 0 && liveAttempt == attempt) {
                    continueWriteLocked();
                    return;
                }
                dropped = countRequests(writingBatch, writtenBytes);
            }
        } else if (error == boost::asio::error::operation_aborted && writtenBytes == 0) {
            // Our own close cut the write off before any byte of the batch
            // left: it goes back to the front of the queue for the next
            // connection, ahead of what was queued after it.
            putBack = countRequests(writingBatch).total;
            writingBatch.append(sendBuffer);
            sendBuffer.swap(writingBatch);
        } else {
            // Failed on the wire, or cut off part way. Resending on a new
            // connection could duplicate orders: the batch is dropped.
            dropped = countRequests(writingBatch, writtenBytes);
        }
        writeInFlight = false;
        writingBatch.clear();
        writtenBytes = 0;
        startWriteIfIdleLocked();
    }
    if (dropped) reporter.log(kra::LOG_LEVEL_ERROR, LOG_SEND_ERROR, dropped->total, dropped->sentWhole);
    if (putBack) reporter.log(kra::LOG_LEVEL_INFO, LOG_SEND_PUT_BACK, *putBack);
}

void TraderHVR::onHeartbeat(const boost::system::error_code& error) {
    if (error) return;
    // Only an established connection is kept alive; an attempt still under
    // way has nothing to send on.
    {
        MutexLock guard(&stateLock);
        if (state != ConnectionState::Connected) return;
    }
    sendHeartbeat();
}

int TraderHVR::dropUnsentRequests() {
    MutexLock guard(&sendLock);
    const int count = countRequests(sendBuffer).total;
    // The session is over: nothing queued for it may go out on a later one.
    sendBuffer.clear();
    return count;
}

}  // namespace hvr
