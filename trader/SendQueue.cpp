// The send queue (SendQueue.h): requests framed on the caller's thread, the
// direct non-blocking send, the asynchronous rest of a batch on the network
// thread, and how each batch ends.
#include "trader/SendQueue.h"

#include <google/protobuf/message_lite.h>
#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <algorithm>
#include <optional>

#include "net/Framing.h"
#include "texts/LogText.h"
#include "trader/TcpAcknowledgement.h"

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

void SendQueue::setLimit(std::size_t bytes) {
    MutexLock guard(&sendLock);
    limitBytes = bytes;
}

bool SendQueue::queueRequest(const google::protobuf::MessageLite& message, uint32_t functionCode,
                             uint32_t requestNo) {
    // Framed outside the lock, in a buffer each calling thread reuses.
    thread_local std::string packet;
    const std::size_t payloadSize = message.ByteSizeLong();
    packet.resize(PACKET_HEADER_SIZE + payloadSize);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&packet[0]);
    encodeRequestHeader(bytes, functionCode, requestNo, payloadSize);
    message.SerializeWithCachedSizesToArray(bytes + PACKET_HEADER_SIZE);
    return append(packet.data(), packet.size(), Limit::Applies);
}

bool SendQueue::queueEmptyRequest(uint32_t functionCode, uint32_t requestNo) {
    uint8_t bytes[PACKET_HEADER_SIZE];
    encodeRequestHeader(bytes, functionCode, requestNo, 0);
    return append(reinterpret_cast<const char*>(bytes), sizeof bytes, Limit::Applies);
}

void SendQueue::queueHeartbeat() {
    uint8_t bytes[PACKET_HEADER_SIZE];
    encodeRequestHeader(bytes, FC_HEART_BEAT, 0, 0);
    append(reinterpret_cast<const char*>(bytes), sizeof bytes, Limit::Exempt);
}

bool SendQueue::append(const char* data, std::size_t size, Limit limit) {
    RefusalCount refusals;
    bool queued = false;
    {
        // One hold appends and, unless a write is in flight or there is no
        // connection, writes. Without a connection the bytes wait here for the
        // next one.
        MutexLock guard(&sendLock);
        const std::size_t unwritten = sendBuffer.size() + (writingBatch.size() - writtenBytes);
        if (limit == Limit::Exempt || unwritten + size <= limitBytes) {
            sendBuffer.append(data, size);
            startWriteIfIdleLocked();
            queued = true;
            refusals = drainedRefusalsLocked();
        } else {
            // Only a server that stopped reading gets here: one line a second
            // at most, counting what was refused since the last.
            refusals = {queueFullLine.refused(QueueFullLine::Clock::now()), limitBytes};
        }
    }
    logRefusals(refusals);
    return queued;
}

SendQueue::RefusalCount SendQueue::drainedRefusalsLocked() {
    // Refusals end when the queue drains; those no line has counted yet get
    // one now, or no line would ever count them.
    if (!queueFullLine.hasUncounted() || writeInFlight || !sendBuffer.empty()) return {};
    return {queueFullLine.takeUncounted(QueueFullLine::Clock::now()), limitBytes};
}

void SendQueue::logRefusals(const RefusalCount& refusals) {
    if (refusals.count > 0)
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_SEND_QUEUE_FULL, static_cast<unsigned long long>(refusals.limit),
                     refusals.count);
}

void SendQueue::publish(int descriptor, uint64_t attempt) {
    requestCounter.exchange(0);
    MutexLock guard(&sendLock);
    liveDescriptor = descriptor;
    liveAttempt = attempt;
    recordAttempt = attempt;
    writtenWhole = 0;
    writtenEnds.clear();
    recordClosed = false;
}

uint64_t SendQueue::lastRequestEnd(uint64_t attempt) {
    MutexLock guard(&sendLock);
    if (attempt != recordAttempt || recordClosed || writtenEnds.empty()) return 0;
    return writtenEnds.back();
}

bool SendQueue::published(uint64_t attempt) {
    MutexLock guard(&sendLock);
    return attempt == recordAttempt && !recordClosed;
}

int SendQueue::recordWrittenLocked() {
    if (writeAttempt != recordAttempt) return 0;  // a connection long gone
    const uint64_t base = writtenWhole;
    writtenWhole += writingBatch.size();
    int unconfirmed = 0;
    // Read under the lock for the walk below, which the analysis does not
    // see holding it.
    const bool closed = recordClosed;
    const uint64_t acknowledged = acknowledgedAtClose;
    forEachRequest(writingBatch, [&, ends = &writtenEnds](std::size_t end) {
        if (!closed) {
            ends->push_back(base + end);
        } else if (base + end > acknowledged) {
            ++unconfirmed;
        }
    });
    // Now and then the ends the server has acknowledged go: the record keeps
    // what the kernel may still hold, and a few thousand more.
    constexpr std::size_t TRIM_AT = 4096;
    if (writtenEnds.size() > TRIM_AT && liveDescriptor >= 0 && liveAttempt == recordAttempt) {
        if (const std::optional<uint64_t> unacknowledged = unacknowledgedBytes(liveDescriptor)) {
            const uint64_t acknowledgedNow = writtenWhole - std::min(writtenWhole, *unacknowledged);
            while (!writtenEnds.empty() && writtenEnds.front() <= acknowledgedNow) writtenEnds.pop_front();
        }
    }
    return unconfirmed;
}

void SendQueue::ownClose(uint64_t attempt, uint64_t acknowledged) {
    int unconfirmed = 0;
    {
        MutexLock guard(&sendLock);
        if (attempt != recordAttempt || recordClosed) return;
        for (auto end = writtenEnds.rbegin(); end != writtenEnds.rend() && *end > acknowledged; ++end) ++unconfirmed;
        writtenEnds.clear();
        recordClosed = true;
        acknowledgedAtClose = acknowledged;
    }
    logUnconfirmed(unconfirmed);
}

void SendQueue::logUnconfirmed(int requests) {
    if (requests > 0) reporter.log(kra::LOG_LEVEL_ERROR, LOG_UNCONFIRMED_AT_CLOSE, requests);
}

void SendQueue::withdraw() {
    MutexLock guard(&sendLock);
    liveDescriptor = -1;
}

void SendQueue::flush() {
    RefusalCount refusals;
    {
        MutexLock guard(&sendLock);
        startWriteIfIdleLocked();
        refusals = drainedRefusalsLocked();
    }
    logRefusals(refusals);
}

void SendQueue::startWriteIfIdleLocked() {
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
        (void)recordWrittenLocked();  // the connection is live: nothing closed to count against
        writingBatch.clear();
        writtenBytes = 0;
        return;
    }
    writeInFlight = true;
    if (thread.isCurrent()) {
        thread.assertCurrent();
        continueWriteLocked();
        return;
    }
    // The socket object is the network thread's: the rest goes on there.
    const uint64_t attempt = writeAttempt;
    boost::asio::post(loop.get(), [this, attempt] {
        thread.assertCurrent();
        resumeWrite(attempt);
    });
}

void SendQueue::resumeWrite(uint64_t attempt) {
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

void SendQueue::continueWriteLocked() {
    // The live descriptor is the carrier's socket: only the network thread
    // replaces it, and withdraws it from here first.
    carrier.writeAsync(writingBatch.data() + writtenBytes, writingBatch.size() - writtenBytes, writeAttempt);
}

void SendQueue::handleWrite(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt) {
    std::optional<RequestCount> dropped;
    std::optional<int> putBack;
    RefusalCount refusals;
    int unconfirmed = 0;
    {
        MutexLock guard(&sendLock);
        if (!error) {
            writtenBytes += bytes;
            if (writtenBytes == writingBatch.size()) unconfirmed = recordWrittenLocked();
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
        refusals = drainedRefusalsLocked();
    }
    if (dropped) reporter.log(kra::LOG_LEVEL_ERROR, LOG_SEND_ERROR, dropped->total, dropped->sentWhole);
    if (putBack) reporter.log(kra::LOG_LEVEL_INFO, LOG_SEND_PUT_BACK, *putBack);
    logUnconfirmed(unconfirmed);
    logRefusals(refusals);
}

int SendQueue::dropUnsent() {
    RefusalCount refusals;
    {
        MutexLock guard(&sendLock);
        refusals = {queueFullLine.takeUncounted(QueueFullLine::Clock::now()), limitBytes};
    }
    logRefusals(refusals);
    MutexLock guard(&sendLock);
    const int count = countRequests(sendBuffer).total;
    // The session is over: nothing queued for it may go out on a later one.
    sendBuffer.clear();
    return count;
}

}  // namespace hvr
