// The connection: attempts, reconnects after failures, the receive path and
// the network thread that runs the io_context.
#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <chrono>

#include "net/Framing.h"
#include "trader/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

void TraderHVR::startConnect() {
    if (stopped.load()) return;
    std::string hostText;
    boost::asio::ip::tcp::endpoint target;
    {
        std::lock_guard<std::mutex> guard(configLock);
        hostText = host;
        target = endpoint;
    }
    log(kra::LOG_LEVEL_INFO, LOG_CONNECT_START, hostText.c_str());

    std::lock_guard<std::mutex> guard(socketLock);
    destroySocketLocked();
    socket = std::make_unique<boost::asio::ip::tcp::socket>(ioService);
    const uint64_t connection = ++connectionId;
    // async_connect opens the socket for the endpoint's family; if that fails
    // the completion still runs, through the io_context, with the error.
    socket->async_connect(target, [this, connection](const boost::system::error_code& error) {
        handleConnect(error, connection);
    });
}

void TraderHVR::handleConnect(const boost::system::error_code& error, uint64_t connection) {
    if (error) {
        reportEvent(0, error.value());
        if (stopped.load() || !isLiveConnection(connection)) return;
        log(kra::LOG_LEVEL_WARN, LOG_CONNECTION_CLOSED, RECONNECT_DELAY_SECONDS);
        waitThenReconnect(connection);
        return;
    }
    if (!isLiveConnection(connection)) return;  // closed or replaced while connecting

    requestCounter.exchange(0);
    // Bytes of a packet cut short by the previous connection would corrupt the
    // framing of this one.
    recvBuffer.clear();
    // The receive is pending before the host hears of the connection, so a
    // disconnect from the host right after the event always finds it to
    // abort. Its completion cannot run before this handler returns.
    {
        std::lock_guard<std::mutex> guard(socketLock);
        if (connection == connectionId && socket) startReadLocked();
    }
    reportEvent(0, 0);
    log(kra::LOG_LEVEL_INFO, LOG_CONNECT_OK);
    heartbeatTimer.start(HEARTBEAT_INTERVAL, [this](const boost::system::error_code& e) { onHeartbeat(e); });
    // Requests queued while there was no connection go out now rather than
    // with the next request or heartbeat.
    flushSendBuffer();
}

void TraderHVR::startReadLocked() {
    const uint64_t connection = connectionId;
    socket->async_read_some(boost::asio::buffer(readBuffer, READ_BUFFER_SIZE),
                            [this, connection](const boost::system::error_code& error, std::size_t bytes) {
                                handleRead(error, bytes, connection);
                            });
}

void TraderHVR::handleRead(const boost::system::error_code& error, std::size_t bytes, uint64_t connection) {
    if (error) {
        if (closing.load()) return;  // the close step of release is under way
        // A socket closed by disconnect, or replaced by a newer attempt, is
        // not a failure to recover from.
        const bool current = isLiveConnection(connection);
        if (!stopped.load() && current) {
            std::lock_guard<std::mutex> guard(socketLock);
            destroySocketLocked();
        }
        reportEvent(1, error.value());
        if (stopped.load() || !current) return;
        log(kra::LOG_LEVEL_WARN, LOG_RECEIVE_ERROR, error.message().c_str(), error.value(),
            RECONNECT_DELAY_SECONDS);
        waitThenReconnect(connection);
        return;
    }

    if (!consumeReceived(readBuffer, bytes)) {
        onFramingFailure(connection);
        return;
    }
    if (stopped.load()) return;
    std::lock_guard<std::mutex> guard(socketLock);
    if (connection == connectionId && socket) startReadLocked();
}

bool TraderHVR::consumeReceived(const uint8_t* data, std::size_t size) {
    recvBuffer.append(reinterpret_cast<const char*>(data), size);
    return processRecvBuffer();
}

bool TraderHVR::processRecvBuffer() {
    const FramingStatus status =
        processFrames(recvBuffer, [this](const uint8_t* packet, const PacketHeader& header) {
            return dispatchPacket(packet, header, *this, scratch);
        });
    if (status == FramingStatus::Ok) return true;
    if (const char* line = framingFailureLogLine(status)) log(kra::LOG_LEVEL_WARN, line);
    return false;
}

void TraderHVR::onFramingFailure(uint64_t connection) {
    reportEvent(1, 0);
    {
        std::lock_guard<std::mutex> guard(socketLock);
        if (connection == connectionId) destroySocketLocked();
    }
    if (stopped.load()) return;
    log(kra::LOG_LEVEL_WARN, LOG_CONNECTION_CLOSED, RECONNECT_DELAY_SECONDS);
    waitThenReconnect(connection);
}

void TraderHVR::waitThenReconnect(uint64_t failed) {
    // Blocks the network thread, as the design wants: no other handler runs
    // during the wait. Only the start of release cuts it short.
    {
        std::unique_lock<std::mutex> guard(waitLock);
        waitSignal.wait_for(guard, std::chrono::milliseconds(RECONNECT_DELAY_MS), [this] { return closing.load(); });
    }
    if (closing.load()) return;
    // A host connect during the wait has already started a newer attempt;
    // replacing it would throw away that socket and what is being sent on it.
    if (!isLatestAttempt(failed)) return;
    startConnect();
}

void TraderHVR::destroySocketLocked() {
    if (!socket) return;
    boost::system::error_code ignored;
    socket->close(ignored);
    socket.reset();
}

bool TraderHVR::isLatestAttempt(uint64_t connection) {
    std::lock_guard<std::mutex> guard(socketLock);
    return connection == connectionId;
}

bool TraderHVR::isLiveConnection(uint64_t connection) {
    std::lock_guard<std::mutex> guard(socketLock);
    return connection == connectionId && socket != nullptr;
}

void TraderHVR::runNetworkThread(uint64_t generation) {
    networkThreadId.store(std::this_thread::get_id());
    for (;;) {
        try {
            ioService.run();
        } catch (const std::exception& e) {
            // A handler failed; the connection stays as that handler left it.
            log(kra::LOG_LEVEL_ERROR, LOG_LOOP_ERROR, e.what());
            continue;
        } catch (...) {
            log(kra::LOG_LEVEL_ERROR, LOG_LOOP_ERROR, "unknown exception");
            continue;
        }
        std::lock_guard<std::mutex> guard(threadLock);
        ioService.restart();
        if (!closing.load() && connectGeneration != generation) {
            // connect added work after the loop ran dry: keep this thread.
            generation = connectGeneration;
            continue;
        }
        networkThreadRunning = false;
        networkThreadId.store(std::thread::id());
        return;
    }
}

}  // namespace hvr
