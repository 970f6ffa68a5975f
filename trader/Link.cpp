// The link (Link.h): the host's connect and disconnect, the attempts on the
// network thread, the receive path, the dead-peer watch and the heartbeat, and
// the one way an attempt ends.
#include "trader/Link.h"

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
#include <optional>
#include <string>
#include <thread>

#include "texts/LogText.h"
#include "trader/TcpAcknowledgement.h"

namespace hvr {

namespace {

// The delay as the lines show it.
constexpr int RECONNECT_DELAY_SHOWN = RECONNECT_DELAY_MS / 1000;

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

// --- any thread ---

void Link::configure(const LinkSettings& next) {
    MutexLock guard(&lock);
    settings = next;
    // During release (an init from inside a callback) the link stays closed:
    // the release ends with it Stopped, and the next init opens it.
    if (closeUnderWay) return;
    if (state == ConnectionState::Stopped) moveToLocked(ConnectionState::Idle);
    closingFlag = false;
}

bool Link::connect() {
    MutexLock guard(&lock);
    if (closingFlag || state == ConnectionState::Stopped) return false;
    const uint64_t attempt = ++newest;
    moveToLocked(ConnectionState::Connecting);
    // The socket is the network thread's: the attempt starts there. Posted
    // under the lock, so steps reach the network thread in the order of their
    // ids and a replaced attempt always ends before its successor.
    boost::asio::post(loop.get(), [this, attempt] {
        thread.assertCurrent();
        startAttempt(attempt);
    });
    return true;
}

void Link::disconnect() {
    {
        MutexLock guard(&lock);
        // A (0, 0) being delivered right now returns before the host hears
        // (1, 0), so the two never arrive the other way round. Inside that
        // very callback the (0, 0) has been heard already.
        while (reportingConnected && !thread.isCurrent()) changed.wait(&lock);
        moveToLocked(ConnectionState::Stopped);
        // The socket is closed on the network thread. While no network thread
        // runs there is no socket; the step then runs when one starts, and
        // finds a newer attempt or nothing to close. Once release is under
        // way its close step closes the socket: nothing is posted, so that no
        // step of this trader reaches a shared loop after that close step.
        const uint64_t attempt = newest;
        if (!closingFlag) {
            boost::asio::post(loop.get(), [this, attempt] {
                thread.assertCurrent();
                closeSocketOf(attempt);
            });
        }
    }
    reporter.event(1, 0);
}

bool Link::isConnected() {
    MutexLock guard(&lock);
    return state == ConnectionState::Connecting || state == ConnectionState::Connected;
}

void Link::beginClose() {
    {
        MutexLock guard(&lock);
        closingFlag = true;
        closeUnderWay = true;
    }
    changed.signalAll();
}

void Link::endClose() {
    MutexLock guard(&lock);
    closeUnderWay = false;
}

bool Link::closing() {
    MutexLock guard(&lock);
    return closingFlag;
}

void Link::moveToLocked(ConnectionState next, int descriptor) {
    state = next;
    if (next == ConnectionState::Connected) {
        queue.publish(descriptor, newest);
    } else {
        queue.withdraw();
    }
}

bool Link::isCurrent(uint64_t attempt, ConnectionState expected) {
    MutexLock guard(&lock);
    return !closingFlag && attempt == newest && state == expected;
}

// --- network thread ---

void Link::startAttempt(uint64_t attempt) {
    LinkSettings target;
    bool superseded = false;
    {
        MutexLock guard(&lock);
        if (closingFlag) return;
        superseded = attempt != newest || state != ConnectionState::Connecting;
        target = settings;
    }
    if (superseded) {
        // The host disconnected, or connected again, before this attempt could
        // start: it ends as an aborted attempt would.
        endAttempt(attempt, End::ConnectFailed, boost::asio::error::operation_aborted);
        return;
    }
    closeOwnSocket();  // the connection this attempt replaces, if any
    if (!settling.empty()) {
        // On a shared loop our close of the connection before still waits
        // for the server's acknowledgement: the attempt starts after it, as
        // it does on a loop of the trader's own, where the wait blocks.
        whenSettled.push_back([this, attempt] {
            thread.assertCurrent();
            startAttempt(attempt);
        });
        return;
    }
    reporter.log(kra::LOG_LEVEL_INFO, LOG_CONNECT_START, target.host.c_str());
    try {
        socketAttempt = attempt;
        closedByUs = false;
        socket = std::make_unique<boost::asio::ip::tcp::socket>(loop.get());
        openCloseOnExec(target.endpoint.protocol());
        socket->async_connect(target.endpoint, [this, attempt](const boost::system::error_code& error) {
            thread.assertCurrent();
            handleConnect(error, attempt);
        });
    } catch (const boost::system::system_error& e) {
        // The event loop could not make what a socket needs (out of
        // descriptors, its first socket opens the loop's own): the attempt
        // ends as a refused connect does, and is retried two seconds later,
        // so the trader recovers once descriptors are free again.
        socket.reset();
        const boost::system::error_code error = e.code();
        boost::asio::post(loop.get(), [this, attempt, error] {
            thread.assertCurrent();
            handleConnect(error, attempt);
        });
    }
}

void Link::openCloseOnExec(const boost::asio::ip::tcp& protocol) {
    // Asio opens its sockets without close-on-exec, so a program the host
    // starts (system, popen) would hold the connection: our close would send
    // no FIN while it lives. Opened here with the flag, atomically, so that
    // no fork and exec on another thread finds it without; async_connect then
    // uses the socket as it is.
    const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, protocol.protocol());
    if (fd < 0) throw boost::system::system_error(errno, boost::system::system_category(), "socket");
    boost::system::error_code error;
    socket->assign(protocol, fd, error);
    if (error) {
        ::close(fd);
        throw boost::system::system_error(error, "assign");
    }
}

void Link::handleConnect(const boost::system::error_code& error, uint64_t attempt) {
    if (closing()) return;  // the close step of release is under way
    if (error) {
        endAttempt(attempt, End::ConnectFailed, error);
        return;
    }

    LinkSettings target;
    {
        MutexLock guard(&lock);
        target = settings;
    }
    // Before the socket is live, so that the first request already goes out
    // with them; harmless on a socket that turns out replaced.
    applySocketOptions(target.noDelay, target.peerTimeoutSeconds);

    bool live = false;
    {
        MutexLock guard(&lock);
        live = attempt == newest && state == ConnectionState::Connecting;
        if (live) {
            moveToLocked(ConnectionState::Connected, socket->native_handle());
            reportingConnected = true;  // disconnect waits for the (0, 0) below
        }
    }
    if (!live) {
        // The host disconnected, or connected again, before this success could
        // be reported: the attempt ends as if it had been aborted. Its socket
        // is closed by the step that replaced or stopped it.
        endAttempt(attempt, End::ConnectFailed, boost::asio::error::operation_aborted);
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
    reportAttemptResult(attempt, 0);
    {
        MutexLock guard(&lock);
        reportingConnected = false;
    }
    changed.signalAll();
    reporter.log(kra::LOG_LEVEL_INFO, LOG_CONNECT_OK);
    if (!heartbeatTimer) heartbeatTimer.emplace(loop.get());
    heartbeatTimer->start(HEARTBEAT_INTERVAL, [this](const boost::system::error_code& e) {
        thread.assertCurrent();
        onHeartbeat(e);
    });
    // Requests queued while there was no connection go out now rather than
    // with the next request or heartbeat.
    queue.flush();
}

void Link::applySocketOptions(bool noDelay, int peerTimeout) {
    if (!socket) return;  // a newer attempt could not make its socket
    const int fd = socket->native_handle();
    // An option the system refuses is named in a warning; the connection
    // goes on without it.
    auto set = [&](int level, int option, const char* name, auto value) {
        if (::setsockopt(fd, level, option, &value, sizeof value) == 0) return;
        const std::string reason = boost::system::system_category().message(errno);
        reporter.log(kra::LOG_LEVEL_WARN, LOG_SOCKET_OPTION_FAILED, name, reason.c_str());
    };
    if (noDelay) set(IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", 1);
    if (peerTimeout <= 0) return;
    // Data left unacknowledged for peertimeout seconds fails the connection
    // (ETIMEDOUT), and an idle one is probed, so a server whose host vanished
    // is noticed at the next heartbeat or request.
    set(IPPROTO_TCP, TCP_USER_TIMEOUT, "TCP_USER_TIMEOUT", static_cast<unsigned int>(peerTimeout) * 1000u);
    set(SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", 1);
    set(IPPROTO_TCP, TCP_KEEPIDLE, "TCP_KEEPIDLE", peerTimeout);
    set(IPPROTO_TCP, TCP_KEEPINTVL, "TCP_KEEPINTVL", std::max(1, peerTimeout / 3));
    set(IPPROTO_TCP, TCP_KEEPCNT, "TCP_KEEPCNT", 3);
}

void Link::startRead(uint64_t attempt) {
    if (testSeams.readStarting) testSeams.readStarting();
    socket->async_read_some(boost::asio::buffer(readBuffer, READ_BUFFER_SIZE),
                            [this, attempt](const boost::system::error_code& error, std::size_t bytes) {
                                thread.assertCurrent();
                                handleRead(error, bytes, attempt);
                            });
}

void Link::handleRead(const boost::system::error_code& error, std::size_t bytes, uint64_t attempt) {
    if (error) {
        // A socket closed by disconnect, or replaced by a newer attempt, is
        // not a failure to recover from; its abort is still reported.
        endAttempt(attempt, End::ReceiveFailed, error);
        return;
    }
    if (closedByUs) {
        // A read that took its bytes at once, behind the close step: the
        // flow record is closed. They are dropped, as the close's drain drops
        // what it finds, so the host is never handed a push whose id is not
        // recorded; the next login asks for it again.
        return;
    }
    if (peerSilence.enabled()) peerSilence.bytesReceived(PeerSilence::Clock::now());
    if (!consumeReceived(readBuffer, bytes)) {
        endAttempt(attempt, End::FramingFailed);
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

bool Link::consumeReceived(const uint8_t* data, std::size_t size) {
    const FramingStatus status = receiveStream.consume(data, size, received);
    if (status == FramingStatus::Ok) return true;
    if (const char* line = framingFailureLogLine(status)) reporter.log(kra::LOG_LEVEL_WARN, line);
    return false;
}

void Link::startPeerWatch(uint64_t attempt, int seconds) {
    const PeerSilence::Clock::time_point now = PeerSilence::Clock::now();
    peerTimeoutSeconds = seconds;
    peerSilence.start(std::chrono::seconds(seconds), now);
    if (!peerSilence.enabled()) {
        if (peerTimer) peerTimer->cancel();
        return;
    }
    if (!peerTimer) peerTimer = std::make_unique<boost::asio::steady_timer>(loop.get());
    armPeerTimer(attempt, peerSilence.nextCheck(now));
}

void Link::armPeerTimer(uint64_t attempt, PeerSilence::Clock::time_point when) {
    // Replacing the expiry aborts the wait of an earlier connection.
    peerTimer->expires_at(when);
    peerTimer->async_wait([this, attempt](const boost::system::error_code& error) {
        thread.assertCurrent();
        onPeerTimer(error, attempt);
    });
}

void Link::onPeerTimer(const boost::system::error_code& error, uint64_t attempt) {
    if (error || !isCurrent(attempt, ConnectionState::Connected)) return;
    const PeerSilence::Clock::time_point now = PeerSilence::Clock::now();
    if (peerSilence.expired(now)) {
        // As a failed receive ends a connection, with ETIMEDOUT and a line of
        // its own.
        endAttempt(attempt, End::PeerSilent);
        return;
    }
    armPeerTimer(attempt, peerSilence.nextCheck(now));
}

void Link::onHeartbeat(const boost::system::error_code& error) {
    if (error) return;
    // Only an established connection is kept alive; an attempt still under
    // way has nothing to send on.
    {
        MutexLock guard(&lock);
        if (state != ConnectionState::Connected) return;
    }
    queue.queueHeartbeat();
    // A server may echo it: the echo is not a heartbeat of the server's own.
    peerSilence.heartbeatSent();
}

void Link::endAttempt(uint64_t attempt, End why, const boost::system::error_code& error) {
    // 1. Nothing to say: the close step of release reports the end itself,
    // and the receive our close aborted on a connection cut for silence ends
    // one that was reported when it was cut.
    if (why == End::ReceiveFailed && attempt == silencedAttempt) return;
    // 2. The current attempt becomes Waiting, its descriptor withdrawn.
    bool current = false;
    {
        MutexLock guard(&lock);
        if (closingFlag) return;
        current = attempt == newest &&
                  (state == ConnectionState::Connecting || state == ConnectionState::Connected);
        if (current) moveToLocked(ConnectionState::Waiting);
    }
    // 3. Its socket is closed before the host hears of it. The receive this
    // close aborts says nothing after a silence.
    if (current) {
        if (why == End::PeerSilent) silencedAttempt = attempt;
        closeSocket();
    }
    // 4. The host hears the end.
    switch (why) {
    case End::ConnectFailed: reportAttemptResult(attempt, error.value()); break;
    case End::ReceiveFailed: reporter.event(1, error.value()); break;
    case End::FramingFailed: reporter.event(1, 0); break;
    case End::PeerSilent:
        if (current) reporter.event(1, ETIMEDOUT);
        break;
    }
    // 5. A retry, unless this was not the current attempt or the host
    // connected or disconnected from that callback.
    if (!current || !isCurrent(attempt, ConnectionState::Waiting)) return;
    switch (why) {
    case End::ConnectFailed:
    case End::FramingFailed:
        reporter.log(kra::LOG_LEVEL_WARN, LOG_CONNECTION_CLOSED, RECONNECT_DELAY_SHOWN);
        break;
    case End::ReceiveFailed:
        reporter.log(kra::LOG_LEVEL_WARN, LOG_RECEIVE_ERROR, error.message().c_str(), error.value(),
                     RECONNECT_DELAY_SHOWN);
        break;
    case End::PeerSilent:
        reporter.log(kra::LOG_LEVEL_WARN, LOG_PEER_SILENT, peerTimeoutSeconds, RECONNECT_DELAY_SHOWN);
        break;
    }
    waitThenReconnect(attempt);
}

void Link::reportAttemptResult(uint64_t attempt, int code) {
    // An older attempt that ends after a newer one was reported connected says
    // nothing the host can use, and would read as if the connection had failed.
    if (attempt < newestConnectedReported) return;
    if (code == 0) newestConnectedReported = attempt;
    reporter.event(0, code);
}

void Link::waitThenReconnect(uint64_t failed) {
    if (loop.shared()) {
        // The thread runs other traders' handlers: the wait is a timer. The
        // close step of release drops it.
        retryAt(failed, std::chrono::steady_clock::now() + std::chrono::milliseconds(RECONNECT_DELAY_MS));
        return;
    }
    // Blocks the network thread, as a retry should: no other handler runs
    // during the wait. Only the start of release cuts it short.
    uint64_t next = 0;
    {
        MutexLock guard(&lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RECONNECT_DELAY_MS);
        for (auto now = std::chrono::steady_clock::now(); !closingFlag && now < deadline;
             now = std::chrono::steady_clock::now()) {
            changed.waitFor(&lock, deadline - now);
        }
        next = takeRetryLocked(failed);
    }
    if (next != 0) startAttempt(next);
}

void Link::retryAt(uint64_t failed, std::chrono::steady_clock::time_point when) {
    if (!retryTimer) {
        try {
            retryTimer = std::make_unique<boost::asio::steady_timer>(loop.get());
        } catch (const boost::system::system_error&) {
            // The loop could not make its epoll descriptor yet: the process
            // is out of descriptors (below).
        }
    }
    if (retryTimer) {
        retryTimer->expires_at(when);
        retryTimer->async_wait([this, failed](const boost::system::error_code& error) {
            thread.assertCurrent();
            if (!error) retryNow(failed);
        });
        return;
    }
    // No timer can wait: each step looks at the clock again after the
    // handlers queued meanwhile, so the thread still serves the others and
    // never sleeps. Once release is under way no step follows (its close
    // step comes after this one).
    if (closing()) return;
    if (std::chrono::steady_clock::now() >= when) {
        retryNow(failed);
        return;
    }
    boost::asio::post(loop.get(), [this, failed, when] {
        thread.assertCurrent();
        std::this_thread::yield();
        retryAt(failed, when);
    });
}

void Link::retryNow(uint64_t failed) {
    uint64_t next = 0;
    {
        MutexLock guard(&lock);
        next = takeRetryLocked(failed);
    }
    if (next != 0) startAttempt(next);
}

uint64_t Link::takeRetryLocked(uint64_t failed) {
    // A connect or disconnect from the host during the wait has decided what
    // comes next already.
    if (closingFlag || failed != newest || state != ConnectionState::Waiting) return 0;
    const uint64_t next = ++newest;
    moveToLocked(ConnectionState::Connecting);
    return next;
}

void Link::writeAsync(const char* data, std::size_t size, uint64_t attempt) {
    if (testSeams.asyncWriteStarting) testSeams.asyncWriteStarting();
    socket->async_write_some(boost::asio::buffer(data, size),
                             [this, attempt](const boost::system::error_code& error, std::size_t bytes) {
                                 thread.assertCurrent();
                                 queue.handleWrite(error, bytes, attempt);
                             });
}

void Link::closeSocket() {
    // The descriptor was withdrawn from the send queue when the attempt left
    // Connected (moveToLocked), so no host thread writes on it any more.
    if (!socket) return;
    boost::system::error_code ignored;
    socket->close(ignored);
    socket.reset();
}

void Link::closeOwnSocket() {
    if (!socket || !socket->is_open() || !queue.published(socketAttempt)) {
        closeSocket();
        return;
    }
    // A close that resets the connection destroys what the kernel still
    // holds: a request written a moment ago (held back by Nagle behind an
    // unacknowledged one, say). What is held back goes now, and the server
    // gets a little time to acknowledge the host requests: what it
    // acknowledged reaches it whatever the close does. A heartbeat or a
    // logout lost to the close costs nothing (the close ends the session
    // anyway), so they are not waited for. Our side is shut for writing first:
    // the FIN behind the last request makes the server's side acknowledge at
    // once, where a request no answer follows would wait for its delayed
    // acknowledgement (40 ms on Linux).
    const int fd = socket->native_handle();
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::shutdown(fd, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + OWN_CLOSE_ACKNOWLEDGEMENT_WAIT;
    if (!loop.shared()) {
        // The trader's own thread waits: no handler of it runs meanwhile.
        for (int polls = 0; !settled(fd, socketAttempt, deadline); ++polls)
            std::this_thread::sleep_for(settlePause(polls));
        finishSettle(fd, socketAttempt);
        closeSocket();
        return;
    }
    // A pool thread serves other traders meanwhile: the wait is a timer. The
    // socket's pending operations end now, as a close would end them, and
    // nothing new starts on it.
    boost::system::error_code ignored;
    socket->cancel(ignored);
    settling.push_back(
        Settling{std::move(socket), socketAttempt, deadline, 0, boost::asio::steady_timer(loop.get())});
    pollSettling(std::prev(settling.end()));
}

bool Link::settled(int fd, uint64_t attempt, std::chrono::steady_clock::time_point deadline) {
    const uint64_t mustReach = queue.lastRequestEnd(attempt);
    if (mustReach == 0) return true;
    if (const std::optional<uint64_t> acknowledged = acknowledgedBytes(fd)) {
        if (*acknowledged >= mustReach) return true;
    } else if (const std::optional<uint64_t> left = unacknowledgedBytes(fd); !left || *left == 0) {
        return true;  // a kernel that does not count acknowledged bytes: all of them, then
    }
    return std::chrono::steady_clock::now() >= deadline;
}

void Link::pollSettling(std::list<Settling>::iterator closing) {
    if (!settled(closing->socket->native_handle(), closing->attempt, closing->deadline)) {
        closing->timer.expires_after(settlePause(closing->polls++));
        // A timer's wait ends with an error only when the timer is dropped
        // (the element is gone then, and is not touched).
        closing->timer.async_wait([this, closing](const boost::system::error_code& error) {
            thread.assertCurrent();
            if (!error) pollSettling(closing);
        });
        return;
    }
    finishSettle(closing->socket->native_handle(), closing->attempt);
    boost::system::error_code ignored;
    closing->socket->close(ignored);
    settling.erase(closing);
    if (!settling.empty()) return;
    // What waited for the close: a new attempt, the rest of the close step.
    std::vector<std::function<void()>> next;
    next.swap(whenSettled);
    for (auto& step : next) step();
}

void Link::finishSettle(int fd, uint64_t attempt) {
    // Bytes received and unread would make the close a reset: they are read
    // and dropped (the connection is over; its pushes come again at the next
    // login, their ids unrecorded).
    uint8_t dropped[4096];
    while (::recv(fd, dropped, sizeof dropped, MSG_DONTWAIT) > 0) {
    }
    // A server that reads nothing, or a close that comes as data arrives,
    // can still lose the rest: the queue counts it.
    queue.ownClose(attempt, acknowledgedBytes(fd).value_or(0));
}

void Link::closeSocketOf(uint64_t attempt) {
    {
        MutexLock guard(&lock);
        // A newer attempt replaces the socket itself.
        if (attempt != newest) return;
    }
    closeOwnSocket();
}

void Link::close(std::function<void()> closed) {
    closedByUs = true;
    // Dropping a timer cancels its wait; the next connection makes them anew
    // on the loop it runs on.
    heartbeatTimer.reset();
    peerTimer.reset();
    retryTimer.reset();
    disconnect();
    closeOwnSocket();
    if (settling.empty()) {
        closed();
    } else {
        whenSettled.push_back(std::move(closed));
    }
}

}  // namespace hvr
