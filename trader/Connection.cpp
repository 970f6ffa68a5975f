// The connection: attempts, their outcomes, the receive path, and the
// two-second wait before every retry. Everything here runs on the network
// thread except withdrawLiveSocketLocked, which host threads call.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <algorithm>
#include <cerrno>
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
    try {
        socket = std::make_unique<boost::asio::ip::tcp::socket>(ioService);
        // async_connect opens the socket for the endpoint's family; if that
        // fails the completion still runs, through the loop, with the error.
        socket->async_connect(target.endpoint, [this, attempt](const boost::system::error_code& error) {
            handleConnect(error, attempt);
        });
    } catch (const boost::system::system_error& e) {
        // The event loop could not make what a socket needs (out of
        // descriptors, its first socket opens the loop's own): the attempt
        // ends as a refused connect does, and is retried two seconds later,
        // so the trader recovers once descriptors are free again.
        socket.reset();
        const boost::system::error_code error = e.code();
        boost::asio::post(ioService, [this, attempt, error] { handleConnect(error, attempt); });
    }
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

    Settings target;
    {
        MutexLock guard(&stateLock);
        target = settings;
    }
    // Before the socket is live, so that the first request already goes out
    // with them; harmless on a socket that turns out replaced.
    applySocketOptions(target.noDelay, target.peerTimeoutSeconds);

    bool live = false;
    {
        MutexLock guard(&stateLock);
        live = attempt == connectionId && state == ConnectionState::Connecting;
        if (live) {
            // One transition: the state and the socket host threads send on
            // change in this one hold, so a host connect or disconnect comes
            // wholly before (the attempt is not live) or wholly after (it
            // withdraws the socket again).
            state = ConnectionState::Connected;
            reportingConnected = true;  // disconnect waits for the (0, 0) below
            requestCounter.exchange(0);
            MutexLock sendGuard(&sendLock);
            liveDescriptor = socket->native_handle();
            liveAttempt = attempt;
        }
    }
    if (!live) {
        // The host disconnected, or connected again, before this success could
        // be reported: the attempt ends as if it had been aborted. Its socket
        // is closed by the step that replaced or stopped it.
        reportAttemptEnd(attempt, boost::asio::error::operation_aborted);
        return;
    }
    if (testSeams.afterConnected) testSeams.afterConnected(socket->native_handle());

    // Bytes of a packet cut short by the previous connection would corrupt the
    // framing of this one.
    receiveStream.reset();
    // The receive is pending before the host hears of the connection, so a
    // disconnect right after the event always finds it to abort.
    startRead(attempt);
    startPeerWatch(attempt, target.peerTimeoutSeconds);
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

void TraderHVR::applySocketOptions(bool noDelay, int peerTimeout) {
    if (!socket) return;  // a newer attempt could not make its socket
    boost::system::error_code ignored;
    if (noDelay) socket->set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    if (peerTimeout <= 0) return;
    // Data left unacknowledged for peertimeout seconds fails the connection
    // (ETIMEDOUT), and an idle one is probed, so a server whose host vanished
    // is noticed at the next heartbeat or request.
    const int fd = socket->native_handle();
    const unsigned int userTimeoutMs = static_cast<unsigned int>(peerTimeout) * 1000u;
    const int on = 1;
    const int idle = peerTimeout;
    const int interval = std::max(1, peerTimeout / 3);
    const int probes = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

void TraderHVR::startPeerWatch(uint64_t attempt, int seconds) {
    const PeerSilence::Clock::time_point now = PeerSilence::Clock::now();
    peerTimeoutSeconds = seconds;
    peerSilence.start(std::chrono::seconds(seconds), now);
    if (!peerSilence.enabled()) {
        if (peerTimer) peerTimer->cancel();
        return;
    }
    if (!peerTimer) peerTimer = std::make_unique<boost::asio::steady_timer>(ioService);
    armPeerTimer(attempt, peerSilence.nextCheck(now));
}

void TraderHVR::armPeerTimer(uint64_t attempt, PeerSilence::Clock::time_point when) {
    // Replacing the expiry aborts the wait of an earlier connection.
    peerTimer->expires_at(when);
    peerTimer->async_wait([this, attempt](const boost::system::error_code& error) { onPeerTimer(error, attempt); });
}

void TraderHVR::onPeerTimer(const boost::system::error_code& error, uint64_t attempt) {
    if (error || !isCurrent(attempt, ConnectionState::Connected)) return;
    const PeerSilence::Clock::time_point now = PeerSilence::Clock::now();
    if (peerSilence.expired(now)) {
        onPeerSilent(attempt);
        return;
    }
    armPeerTimer(attempt, peerSilence.nextCheck(now));
}

void TraderHVR::onPeerSilent(uint64_t attempt) {
    // As a failed receive ends a connection, with ETIMEDOUT and a line of its
    // own. The receive still pending is aborted by the close and says nothing.
    if (!enterWaiting(attempt)) return;
    silencedAttempt = attempt;
    closeSocket();
    reporter.event(1, ETIMEDOUT);
    if (!isCurrent(attempt, ConnectionState::Waiting)) return;
    reporter.log(kra::LOG_LEVEL_WARN, LOG_PEER_SILENT, peerTimeoutSeconds, RECONNECT_DELAY_SECONDS);
    waitThenReconnect(attempt);
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
        if (attempt == silencedAttempt) return;  // cut for silence: reported there
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
    if (peerSilence.enabled()) peerSilence.bytesReceived(PeerSilence::Clock::now());
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
    liveDescriptor = -1;
}

void TraderHVR::closeSocket() {
    {
        // Host threads write on the socket only while it is live; after this
        // none can start another write on it, and its descriptor number is not
        // reused before they have let go of sendLock.
        MutexLock guard(&sendLock);
        if (socket && liveDescriptor == socket->native_handle()) liveDescriptor = -1;
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
