// The connection: attempts, their outcomes, the receive path, and the
// two-second wait before every retry. Everything here runs on the network
// thread except withdrawLiveSocketLocked, which host threads call.
#include <sys/mman.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <chrono>
#include <cstdint>

#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

namespace {

// A receive that reached beyond this many bytes of readBuffer leaves those
// pages resident. Once the socket has nothing more waiting they go back to
// the system (they read as zeros when touched again): a trader that once read
// a large answer does not keep 4 MiB for good, and a stream of large receives
// pays for it once per burst, not per receive.
constexpr std::size_t READ_BUFFER_KEPT_BYTES = 256 * 1024;

void releasePagesBeyond(uint8_t* buffer, std::size_t kept, std::size_t size) {
    const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(buffer) + kept + page - 1) & ~(page - 1);
    const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(buffer) + size) & ~(page - 1);
    if (from < to) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

}  // namespace

void TraderHVR::startAttempt(uint64_t attempt) {
    Settings target;
    bool superseded = false;
    {
        MutexLock guard(&stateLock);
        if (closing) return;
        superseded = attempt != connectionId || state != ConnectionState::Connecting;
        target = settings;
    }
    if (superseded) {
        // The host disconnected, or connected again, before this attempt could
        // start: it ends as an aborted attempt would.
        reportAttemptEnd(attempt, boost::asio::error::operation_aborted);
        return;
    }
    reporter.log(kra::LOG_LEVEL_INFO, LOG_CONNECT_START, target.host.c_str());
    closeSocket();
    socket = std::make_unique<boost::asio::ip::tcp::socket>(ioService);
    // async_connect opens the socket for the endpoint's family; if that fails
    // the completion still runs, through the loop, with the error.
    socket->async_connect(target.endpoint, [this, attempt](const boost::system::error_code& error) {
        handleConnect(error, attempt);
    });
}

void TraderHVR::handleConnect(const boost::system::error_code& error, uint64_t attempt) {
    if (closingNow()) return;  // the close step of release is under way
    if (error) {
        const bool current = enterWaiting(attempt);  // false: replaced by a newer attempt, or stopped
        if (current) closeSocket();
        reportAttemptEnd(attempt, error.value());
        // The host may have connected or disconnected from that callback.
        if (!current || !isCurrent(attempt, ConnectionState::Waiting)) return;
        reporter.log(kra::LOG_LEVEL_WARN, LOG_CONNECTION_CLOSED, RECONNECT_DELAY_SECONDS);
        waitThenReconnect(attempt);
        return;
    }

    bool live = false;
    bool noDelay = false;
    {
        MutexLock guard(&stateLock);
        live = attempt == connectionId && state == ConnectionState::Connecting;
        if (live) {
            state = ConnectionState::Connected;
            reportingConnected = true;  // disconnect waits for the (0, 0) below
            noDelay = settings.noDelay;
        }
    }
    if (!live) {
        // The host disconnected, or connected again, before this success could
        // be reported: the attempt ends as if it had been aborted. Its socket
        // is closed by the step that replaced or stopped it.
        reportAttemptEnd(attempt, boost::asio::error::operation_aborted);
        return;
    }

    requestCounter.exchange(0);
    // Bytes of a packet cut short by the previous connection would corrupt the
    // framing of this one.
    receiveStream.reset();
    if (noDelay) {
        boost::system::error_code ignored;
        socket->set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    }
    // The receive is pending before the host hears of the connection, so a
    // disconnect right after the event always finds it to abort.
    startRead(attempt);
    {
        MutexLock guard(&sendLock);
        liveSocket = socket.get();
        liveAttempt = attempt;
    }
    reportAttemptEnd(attempt, 0);
    {
        MutexLock guard(&stateLock);
        reportingConnected = false;
    }
    stateChanged.signalAll();
    reporter.log(kra::LOG_LEVEL_INFO, LOG_CONNECT_OK);
    heartbeatTimer.start(HEARTBEAT_INTERVAL, [this](const boost::system::error_code& e) { onHeartbeat(e); });
    // Requests queued while there was no connection go out now rather than
    // with the next request or heartbeat.
    MutexLock guard(&sendLock);
    startWriteIfIdleLocked();
}

void TraderHVR::reportAttemptEnd(uint64_t attempt, int code) {
    // An older attempt that ends after a newer one was reported connected says
    // nothing the host can use, and would read as if the connection had failed.
    if (attempt < newestConnectedReported) return;
    if (code == 0) newestConnectedReported = attempt;
    reporter.event(0, code);
}

void TraderHVR::startRead(uint64_t attempt) {
    socket->async_read_some(boost::asio::buffer(readBuffer, READ_BUFFER_SIZE),
                            [this, attempt](const boost::system::error_code& error, std::size_t bytes) {
                                handleRead(error, bytes, attempt);
                            });
}

void TraderHVR::handleRead(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt) {
    if (error) {
        if (closingNow()) return;  // the close step of release is under way
        // A socket closed by disconnect, or replaced by a newer attempt, is
        // not a failure to recover from; its abort is still reported.
        const bool current = enterWaiting(attempt);
        if (current) closeSocket();
        reporter.event(1, error.value());
        if (!current || !isCurrent(attempt, ConnectionState::Waiting)) return;
        reporter.log(kra::LOG_LEVEL_WARN, LOG_RECEIVE_ERROR, error.message().c_str(), error.value(),
                     RECONNECT_DELAY_SECONDS);
        waitThenReconnect(attempt);
        return;
    }
    if (!consumeReceived(readBuffer, bytes)) {
        onFramingFailure(attempt);
        return;
    }
    if (bytes > READ_BUFFER_KEPT_BYTES && socket) {
        boost::system::error_code unknown;
        if (socket->available(unknown) == 0 && !unknown)
            releasePagesBeyond(readBuffer, READ_BUFFER_KEPT_BYTES, READ_BUFFER_SIZE);
    }
    // A disconnect or a new connect made from a callback ends this connection:
    // its socket is closed by the step they posted.
    if (isCurrent(attempt, ConnectionState::Connected)) startRead(attempt);
}

bool TraderHVR::consumeReceived(const uint8_t* data, std::size_t size) {
    const FramingStatus status = receiveStream.consume(data, size, delivery);
    if (status == FramingStatus::Ok) return true;
    if (const char* line = framingFailureLogLine(status)) reporter.log(kra::LOG_LEVEL_WARN, line);
    return false;
}

void TraderHVR::onFramingFailure(uint64_t attempt) {
    const bool current = enterWaiting(attempt);
    reporter.event(1, 0);
    if (current) closeSocket();
    if (!current || !isCurrent(attempt, ConnectionState::Waiting)) return;
    reporter.log(kra::LOG_LEVEL_WARN, LOG_CONNECTION_CLOSED, RECONNECT_DELAY_SECONDS);
    waitThenReconnect(attempt);
}

bool TraderHVR::enterWaiting(uint64_t attempt) {
    MutexLock guard(&stateLock);
    if (closing || attempt != connectionId) return false;
    if (state != ConnectionState::Connecting && state != ConnectionState::Connected) return false;
    withdrawLiveSocketLocked();
    state = ConnectionState::Waiting;
    return true;
}

void TraderHVR::waitThenReconnect(uint64_t failed) {
    // Blocks the network thread, as a retry should: no other handler runs
    // during the wait. Only the start of release cuts it short.
    uint64_t next = 0;
    {
        MutexLock guard(&stateLock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RECONNECT_DELAY_MS);
        for (auto now = std::chrono::steady_clock::now(); !closing && now < deadline;
             now = std::chrono::steady_clock::now()) {
            stateChanged.waitFor(&stateLock, deadline - now);
        }
        // A connect or disconnect from the host during the wait has decided
        // what comes next already.
        if (closing || failed != connectionId || state != ConnectionState::Waiting) return;
        next = ++connectionId;
        state = ConnectionState::Connecting;
    }
    startAttempt(next);
}

void TraderHVR::withdrawLiveSocketLocked() {
    MutexLock guard(&sendLock);
    liveSocket = nullptr;
}

void TraderHVR::closeSocket() {
    {
        // Host threads write on the socket only while it is live; after this
        // none can start another write on it.
        MutexLock guard(&sendLock);
        if (liveSocket == socket.get()) liveSocket = nullptr;
    }
    if (!socket) return;
    boost::system::error_code ignored;
    socket->close(ignored);
    socket.reset();
}

void TraderHVR::closeSocketOf(uint64_t attempt) {
    {
        MutexLock guard(&stateLock);
        // A newer attempt replaces the socket itself.
        if (attempt != connectionId) return;
    }
    closeSocket();
}

bool TraderHVR::isCurrent(uint64_t attempt, ConnectionState expected) {
    MutexLock guard(&stateLock);
    return !closing && attempt == connectionId && state == expected;
}

bool TraderHVR::closingNow() {
    MutexLock guard(&stateLock);
    return closing;
}

}  // namespace hvr
