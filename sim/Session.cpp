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

std::string millisecondsText(Clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

}  // namespace

Session::Session(asio::ip::tcp::socket socket, Desk& desk, const SessionOptions& options, ConnectionFault fault)
    : socket_(std::move(socket)),
      idleTimer_(socket_.get_executor()),
      delayTimer_(socket_.get_executor()),
      heartbeatTimer_(socket_.get_executor()),
      faultTimer_(socket_.get_executor()),
      desk_(desk),
      options_(options),
      fault_(fault),
      id_(nextConnectionId()) {
    boost::system::error_code ignored;
    const auto remote = socket_.remote_endpoint(ignored);
    peer_ = ignored ? std::string("unknown peer") : remote.address().to_string() + ":" + std::to_string(remote.port());
    if (!ignored) peerPort_ = remote.port();
}

Session::~Session() { desk_.detach(*this); }

void Session::start() {
    const bool faulty = fault_.kind != ConnectionFault::Kind::None;
    logEvent(peer_ + " connected" + (faulty ? " (fault injection: " + describeFault(fault_) + ")" : ""));
    if (options_.journal) options_.journal->accepted(id_, peerPort_, describeFault(fault_));
    desk_.attach(*this);
    connectedAt_ = lastHeard_ = notLoggedInSince_ = Clock::now();
    armHeartbeat();
    if (fault_.held) {
        // Nothing is read, and no timeout ends the connection, until letGo();
        // the idle timer only keeps the session alive meanwhile.
        held_ = true;
        armIdleTimer(Clock::now() + options_.idleTimeout);
        return;
    }
    armIdleTimer(deadline());
    if (fault_.kind == ConnectionFault::Kind::Stall || fault_.kind == ConnectionFault::Kind::Reset) {
        faultTimer_.expires_after(std::chrono::milliseconds(fault_.amount));
        faultTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
            self->onFaultTimer(error);
        });
        return;
    }
    readSome();
}

void Session::onFaultTimer(const boost::system::error_code& error) {
    if (error || stopped_) return;
    if (fault_.kind == ConnectionFault::Kind::Reset) {
        reset("reset after " + std::to_string(fault_.amount) + " ms without reading (fault injection)");
    } else {
        readSome();  // the stall is over: what comes is read and discarded
    }
}

void Session::letGo() {
    if (stopped_ || !held_) return;
    held_ = false;
    logEvent(peer_ + " let go (fault injection: " + describeFault(fault_) + ")");
    lastHeard_ = notLoggedInSince_ = Clock::now();  // the timeouts count from now
    armIdleTimer(deadline());
    if (fault_.kind == ConnectionFault::Kind::Reset) {
        reset("reset when let go, without reading (fault injection)");
        return;
    }
    readSome();  // a stall discards what it reads; a trickle reads one byte at a time
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
    // A trickling connection takes one byte per receive.
    const std::size_t size = fault_.kind == ConnectionFault::Kind::Trickle ? 1 : readChunk_.size();
    socket_.async_read_some(asio::buffer(readChunk_.data(), size),
                            [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                                self->onRead(error, size);
                            });
}

void Session::onRead(const boost::system::error_code& error, std::size_t size) {
    if (stopped_) return;
    if (error) {
        stop(error == asio::error::eof ? "closed by the client" : "read failed: " + error.message());
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
    if (fault_.kind == ConnectionFault::Kind::Trickle && bytesRead_ >= fault_.amount) {
        reset("reset after " + std::to_string(bytesRead_) + " bytes read one at a time (fault injection)");
        return;
    }
    if (freezing_) {
        logEvent(peer_ + " frozen after " + std::to_string(options_.freezeAfterPackets) +
                 " packets (fault injection): no more reading or writing");
        writeNext();  // freezes once everything queued is written
        return;
    }
    // Past the drop-after count the session still reads, so that what the
    // client sends meanwhile is journaled as discarded, until its answers
    // are written and it stops.
    if (draining_) writeNext();
    if (stopped_) return;
    if (paused) {
        readPaused_ = true;
        return;
    }
    readSome();
}

bool Session::dispatch(const uint8_t* packet, const PacketHeader& header, std::string& malformed) {
    if (stopped_) return false;
    if (freezing_) return true;  // past the fault's count: read but not handled
    lastHeard_ = Clock::now();
    if (!draining_) {
        malformed = tooLargeBeforeLogin(header);
        if (!malformed.empty()) return false;
    }
    std::string payload;
    if (!extractPayload(packet, header, payload)) {
        malformed = "compressed payload of function code " + std::to_string(header.functionCode) +
                    " does not inflate to its announced size";
        return false;
    }
    // Past the drop-after count, and after a stall, packets are read but not
    // handled: nothing is answered, so a client that has closed in the
    // meantime is not reset by an answer and its last bytes still arrive.
    const bool discarded = draining_ || fault_.kind == ConnectionFault::Kind::Stall;
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
    countPacket();
    return true;
}

void Session::countPacket() {
    ++packetsReceived_;
    if (options_.dropAfterPackets != 0 && packetsReceived_ >= options_.dropAfterPackets) draining_ = true;
    if (options_.freezeAfterPackets != 0 && packetsReceived_ >= options_.freezeAfterPackets) freezing_ = true;
    if (options_.muteAfterPackets != 0 && packetsReceived_ >= options_.muteAfterPackets) muted_ = true;
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
    if (freezing_ || held_) {
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
    if (error || stopped_ || freezing_) return;
    if (loggedIn()) {
        sendPacket(encodePacket(FC_HEART_BEAT, 0, std::string(), 0));
        if (debugLogging()) logDebug(peer_ + " heartbeat sent");
    }
    armHeartbeat();
}

void Session::sendPacket(std::string packet) {
    if (stopped_ || frozen_ || muted_) return;
    if (queuedBytes_ + packet.size() > options_.maxQueuedBytes) {
        // The Desk may be walking its client list right now: stop on a later turn.
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->stop("client is not reading its answers");
        });
        return;
    }
    Outgoing out;
    out.due = options_.answerDelay.count() > 0 ? Clock::now() + options_.answerDelay : Clock::time_point::min();
    queuedBytes_ += packet.size();
    out.bytes = std::move(packet);
    queue_.push_back(std::move(out));
    writeNext();
}

void Session::writeNext() {
    if (stopped_ || writing_ || frozen_) return;
    if (queue_.empty()) {
        if (draining_) stop("dropped after " + std::to_string(options_.dropAfterPackets) + " packets (fault injection)");
        frozen_ = freezing_;
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
    // byte only with --one-byte-writes.
    writeBuffers_.clear();
    std::size_t bytes = 0;
    for (auto it = queue_.begin(); it != queue_.end() && it->due <= now; ++it) {
        if (writeBuffers_.size() == MAX_WRITE_PACKETS || bytes >= MAX_WRITE_BYTES) break;
        const std::size_t skip = it == queue_.begin() ? frontWritten_ : 0;
        std::size_t size = it->bytes.size() - skip;
        if (options_.oneByteWrites) size = 1;
        writeBuffers_.push_back(asio::buffer(it->bytes.data() + skip, size));
        bytes += size;
        if (options_.oneByteWrites) break;
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
        stop("write failed: " + error.message());
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
