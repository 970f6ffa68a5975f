#include "Session.h"

#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>

#include "EventLog.h"
#include "PacketCodec.h"
#include "net/Framing.h"

namespace hvr::sim {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

std::string framingProblem(FramingStatus status) {
    switch (status) {
        case FramingStatus::BufferTooLarge:
            return "more than the largest packet buffered";
        case FramingStatus::BadHeader:
            return "bad magic or a packet length below the header size";
        case FramingStatus::PacketTooLarge:
            return "packet length above the limit";
        default:
            return "unreadable packet";
    }
}

// A buffer this much larger than what it holds is given back after a pass.
constexpr std::size_t KEEP_INBOUND_CAPACITY = 1u << 20;

std::string nextConnectionId() {
    static uint64_t count = 0;  // network thread only
    return std::to_string(::getpid()) + "." + std::to_string(++count);
}

// What one gathered write takes at most from the queue.
constexpr std::size_t MAX_WRITE_PACKETS = 256;
constexpr std::size_t MAX_WRITE_BYTES = 1u << 20;

// Why a connection ended, from the error its receive or write (`what`) met.
// A client that closes its socket while bytes the server sent wait unread in
// it (an answer, a push or a heartbeat that came after its last read) makes
// its system send a reset instead of the end of the stream, and a write that
// comes after its close is refused the same way: either is the client
// closing, not a failure of the connection.
std::string endReason(const boost::system::error_code& error, const char* what) {
    if (error == asio::error::eof) return "closed by the client";
    if (error == asio::error::connection_reset || error == asio::error::broken_pipe)
        return "closed by the client (reset: it closed with data unread, or aborted)";
    return std::string(what) + " failed: " + error.message();
}

std::string millisecondsText(Clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

}  // namespace

Session::Session(asio::ip::tcp::socket socket, Desk& desk, const SessionOptions& options, ConnectionFaults faults)
    : socket_(std::move(socket)),
      idleTimer_(socket_.get_executor()),
      delayTimer_(socket_.get_executor()),
      heartbeatTimer_(socket_.get_executor()),
      faultTimer_(socket_.get_executor()),
      desk_(desk),
      options_(options),
      faults_(std::move(faults)),
      id_(nextConnectionId()) {
    boost::system::error_code ignored;
    const auto remote = socket_.remote_endpoint(ignored);
    peer_ = ignored ? std::string("unknown peer") : remote.address().to_string() + ":" + std::to_string(remote.port());
    if (!ignored) peerPort_ = remote.port();
}

Session::~Session() { desk_.detach(*this); }

void Session::start() {
    logEvent(peer_ + " connected" +
             (faults_.hasOwnFault() ? " (fault injection: " + faults_.describe() + ")" : std::string()));
    if (options_.journal) options_.journal->accepted(id_, peerPort_, faults_.describe());
    desk_.attach(*this);
    connectedAt_ = lastHeard_ = notLoggedInSince_ = Clock::now();
    armHeartbeat();
    switch (faults_.opening()) {
        case ConnectionFaults::Opening::Hold:
            // Nothing is read, and no timeout ends the connection, until
            // letGo(); the idle timer only keeps the session alive meanwhile.
            armIdleTimer(Clock::now() + options_.idleTimeout);
            return;
        case ConnectionFaults::Opening::Wait:
            armIdleTimer(deadline());
            faultTimer_.expires_after(faults_.waitTime());
            faultTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
                self->onFaultTimer(error);
            });
            return;
        case ConnectionFaults::Opening::Read:
            armIdleTimer(deadline());
            readSome();
            return;
    }
}

void Session::onFaultTimer(const boost::system::error_code& error) {
    if (error || stopped_) return;
    if (const auto why = faults_.afterWait()) {
        reset(*why);
        return;
    }
    readSome();
}

void Session::letGo() {
    if (stopped_ || !faults_.held()) return;
    const std::optional<std::string> resetWhy = faults_.letGo();
    logEvent(peer_ + " let go (fault injection: " + faults_.describe() + ")");
    lastHeard_ = notLoggedInSince_ = Clock::now();  // the timeouts count from now
    armIdleTimer(deadline());
    if (resetWhy) {
        reset(*resetWhy);
        return;
    }
    readSome();
}

void Session::stop(const std::string& reason) { close(reason, false); }

void Session::reset(const std::string& reason) { close(reason, true); }

void Session::close(const std::string& reason, bool withReset) {
    if (stopped_) return;
    stopped_ = true;
    // Logged and journaled before the client can see the end.
    logEvent(peer_ + " disconnected: " + reason);
    if (options_.journal) options_.journal->closed(id_, reason);
    desk_.detach(*this);
    boost::system::error_code ignored;
    if (withReset) {
        // A zero linger time makes the close send a reset instead of the end
        // of the stream.
        socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    } else {
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    }
    socket_.close(ignored);
    idleTimer_.cancel();
    delayTimer_.cancel();
    heartbeatTimer_.cancel();
    faultTimer_.cancel();
}

void Session::readSome() {
    if (options_.journal) readStarted_ = RequestJournal::now();
    const std::size_t size = faults_.readSize(readChunk_.size());
    reading_ = true;
    socket_.async_read_some(asio::buffer(readChunk_.data(), size),
                            [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                                self->onRead(error, size);
                            });
}

void Session::onRead(const boost::system::error_code& error, std::size_t size) {
    reading_ = false;
    if (stopped_) return;
    if (error) {
        stop(endReason(error, "read"));
        return;
    }
    if (options_.journal) {
        boost::system::error_code unknown;
        const std::size_t waiting = socket_.available(unknown);
        options_.journal->received(id_, size, readStarted_, !unknown && waiting == 0);
    }
    bytesRead_ += size;
    inbound_.append(readChunk_.data(), size);
    handleBuffered();
    if (judgeAfterRead_ && !stopped_) {
        judgeAfterRead_ = false;
        judgeIdle();
    }
}

// Handles the complete packets buffered, in order, until their answers pile
// up past readPauseBytes; then reads on, or leaves the rest for onWritten to
// take up once the answers are out.
void Session::handleBuffered() {
    if (inbound_.size() >= MAX_PACKET_SIZE) {
        stop("malformed packet: " + framingProblem(FramingStatus::BufferTooLarge));
        return;
    }
    std::string malformed;
    bool paused = false;
    std::size_t consumed = 0;
    const FramingStatus status = frameBytes(
        reinterpret_cast<const uint8_t*>(inbound_.data()), inbound_.size(), &consumed,
        [this, &malformed, &paused](const uint8_t* packet, const PacketHeader& header) {
            paused = queuedBytes_ > options_.readPauseBytes;
            return !paused && dispatch(packet, header, malformed);
        });
    if (stopped_) return;
    if (status != FramingStatus::Ok && !paused) {
        stop("malformed packet: " + (malformed.empty() ? framingProblem(status) : malformed));
        return;
    }
    inbound_.erase(0, consumed);
    const std::string tooLarge = tooLargeTailBeforeLogin();
    if (!tooLarge.empty()) {
        stop(tooLarge);
        return;
    }
    if (inbound_.capacity() > KEEP_INBOUND_CAPACITY && inbound_.size() < KEEP_INBOUND_CAPACITY / 2)
        inbound_.shrink_to_fit();
    if (const auto why = faults_.afterBytesRead(bytesRead_)) {
        reset(*why);
        return;
    }
    if (faults_.readsNoMore()) {
        logEvent(peer_ + " " + faults_.freezeNote());
        writeNext();  // freezes once everything queued is written
        return;
    }
    // A connection that closes once its answers are written still reads
    // meanwhile, so that what the client sends is journaled as discarded.
    if (faults_.closesOnceWritten()) writeNext();
    if (stopped_) return;
    if (paused) {
        readPaused_ = true;
        return;
    }
    readSome();
}

bool Session::dispatch(const uint8_t* packet, const PacketHeader& header, std::string& malformed) {
    if (stopped_) return false;
    if (faults_.readsNoMore()) return true;  // read but not handled
    lastHeard_ = Clock::now();
    if (!faults_.closesOnceWritten()) {
        malformed = tooLargeBeforeLogin(header);
        if (!malformed.empty()) return false;
    }
    std::string payload;
    if (!extractPayload(packet, header, payload)) {
        malformed = "compressed payload of function code " + std::to_string(header.functionCode) +
                    " does not inflate to its announced size";
        return false;
    }
    const bool discarded = faults_.discardsRequests();
    if (options_.journal) options_.journal->request(id_, header, payload, !discarded);
    if (discarded) return true;
    if (!desk_.handle(*this, header, payload)) {
        malformed = "payload of function code " + std::to_string(header.functionCode) + " does not parse";
        return false;
    }
    const bool nowLoggedIn = loggedIn();
    if (wasLoggedIn_ && !nowLoggedIn) {
        notLoggedInSince_ = lastHeard_;  // the login deadline starts again
        armIdleTimer(deadline());
    }
    wasLoggedIn_ = nowLoggedIn;
    faults_.packetHandled();
    return true;
}

bool Session::loggedIn() { return desk_.accountOf(*this) != 0; }

std::string Session::tooLargeBeforeLogin(const PacketHeader& header) {
    const std::size_t limit = options_.maxPacketBeforeLogin;
    if ((header.packetLength <= limit && header.rawLength <= limit) || loggedIn()) return std::string();
    return "packet of " + std::to_string(std::max(header.packetLength, header.rawLength)) +
           " bytes before a login (the limit is " + std::to_string(limit) + ")";
}

std::string Session::tooLargeTailBeforeLogin() {
    if (inbound_.size() < PACKET_HEADER_SIZE) return std::string();
    const PacketHeader header = decodeHeader(reinterpret_cast<const uint8_t*>(inbound_.data()));
    return tooLargeBeforeLogin(header);
}

void Session::armIdleTimer(Clock::time_point at) {
    idleTimer_.expires_at(at);
    idleTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        self->onIdleTimer(error);
    });
}

void Session::onIdleTimer(const boost::system::error_code& error) {
    if (error || stopped_) return;
    judgeIdle();
}

void Session::judgeIdle() {
    if (faults_.keepsOpen()) {
        // A frozen or held connection stays open: the pending wait keeps the
        // session (and its socket) alive, as a pending read would.
        armIdleTimer(Clock::now() + options_.idleTimeout);
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now < deadline()) {
        armIdleTimer(deadline());  // heard from since, or logged in
        return;
    }
    // Bytes waiting are proof of life the server has not looked at yet: the
    // pending receive takes them, and the judgement comes after it (and so
    // again while more keep waiting). A paused read takes nothing; such a
    // client is judged as it stands.
    boost::system::error_code unknown;
    if (reading_ && socket_.available(unknown) > 0 && !unknown) {
        judgeAfterRead_ = true;  // the pending receive keeps the session alive meanwhile
        return;
    }
    if (now - lastHeard_ < options_.idleTimeout) {
        stop("no login within " + millisecondsText(options_.loginTimeout));
    } else if (readPaused_) {
        stop("not reading its answers: " + std::to_string(queuedBytes_) + " bytes unwritten for " +
             millisecondsText(now - lastHeard_));
    } else {
        stop("silent for " + millisecondsText(now - lastHeard_));
    }
}

Clock::time_point Session::deadline() {
    const Clock::time_point silent = lastHeard_ + options_.idleTimeout;
    return loggedIn() ? silent : std::min(silent, notLoggedInSince_ + options_.loginTimeout);
}

void Session::armHeartbeat() {
    if (options_.heartbeatInterval.count() <= 0) return;
    heartbeatTimer_.expires_after(options_.heartbeatInterval);
    heartbeatTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        self->onHeartbeat(error);
    });
}

void Session::onHeartbeat(const boost::system::error_code& error) {
    if (error || stopped_ || faults_.readsNoMore()) return;
    if (loggedIn()) {
        sendPacket(encodePacket(FC_HEART_BEAT, 0, std::string(), 0));
        if (debugLogging()) logDebug(peer_ + " heartbeat sent");
    }
    armHeartbeat();
}

void Session::sendPacket(std::string packet) {
    if (stopped_ || faults_.queuesNothing()) return;
    if (queuedBytes_ + packet.size() > options_.maxQueuedBytes) {
        // The Desk may be walking its client list right now: stop on a later turn.
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->stop("client is not reading its answers");
        });
        return;
    }
    Outgoing out;
    const std::chrono::milliseconds delay = faults_.answerDelay();
    out.due = delay.count() > 0 ? Clock::now() + delay : Clock::time_point::min();
    queuedBytes_ += packet.size();
    out.bytes = std::move(packet);
    queue_.push_back(std::move(out));
    writeNext();
}

void Session::writeNext() {
    if (stopped_ || writing_ || faults_.writesNothing()) return;
    if (queue_.empty()) {
        if (const auto why = faults_.queueWritten()) stop(*why);
        return;
    }
    writing_ = true;
    const Clock::time_point now = Clock::now();
    if (queue_.front().due > now) {
        delayTimer_.expires_at(queue_.front().due);
        delayTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
            self->writing_ = false;
            if (error || self->stopped_) return;
            self->writeNext();
        });
        return;
    }
    // Everything due, from where the front packet's last write stopped; one
    // byte only when the faults say so.
    const bool oneByte = faults_.oneByteWrites();
    writeBuffers_.clear();
    std::size_t bytes = 0;
    for (auto it = queue_.begin(); it != queue_.end() && it->due <= now; ++it) {
        if (writeBuffers_.size() == MAX_WRITE_PACKETS || bytes >= MAX_WRITE_BYTES) break;
        const std::size_t skip = it == queue_.begin() ? frontWritten_ : 0;
        std::size_t size = it->bytes.size() - skip;
        if (oneByte) size = 1;
        writeBuffers_.push_back(asio::buffer(it->bytes.data() + skip, size));
        bytes += size;
        if (oneByte) break;
    }
    asio::async_write(socket_, writeBuffers_,
                      [self = shared_from_this()](const boost::system::error_code& error, std::size_t written) {
                          self->onWritten(error, written);
                      });
}

void Session::onWritten(const boost::system::error_code& error, std::size_t size) {
    writing_ = false;
    if (stopped_) return;
    if (error) {
        stop(endReason(error, "write"));
        return;
    }
    consumeWritten(size);
    if (readPaused_ && queuedBytes_ <= options_.readPauseBytes) {
        readPaused_ = false;
        handleBuffered();
        if (stopped_) return;
    }
    writeNext();
}

void Session::consumeWritten(std::size_t size) {
    while (size > 0) {
        const std::size_t left = queue_.front().bytes.size() - frontWritten_;
        if (size < left) {
            frontWritten_ += size;
            return;
        }
        size -= left;
        queuedBytes_ -= queue_.front().bytes.size();
        queue_.pop_front();
        frontWritten_ = 0;
    }
}

}  // namespace hvr::sim
