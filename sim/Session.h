// One client connection of the server: reads and frames request packets,
// hands them to the Desk, and writes answers and pushes back in order with
// at most one write in flight (the completion of one write starts the next).
// Also enforces the idle timeout and the packet size limit of a client that
// has not logged in, writes the request journal, and sends a heartbeat at a
// fixed interval while the client is logged in. The faults it plays are its
// ConnectionFaults' (Faults.h), asked at named points: when it opens, reads,
// handles a request, queues and writes, and when a timer runs out.
//
// Limits: before a login succeeds (and again after a logout) a packet may be
// at most maxPacketBeforeLogin bytes, announced or inflated: a login request
// is tiny, so a stranger cannot park a 32 MiB partial packet; and the
// connection is closed when no login succeeds within loginTimeout of the
// connect (or of the logout). Only a whole packet counts as hearing from the
// client: bytes that trickle in without completing one do not hold the idle
// timer off. But bytes waiting in the socket when a deadline runs out are
// read first, and the deadline judged after them: the server may have been
// the one that stood still (stopped, or busy), and what the client sent
// meanwhile may be the packets that keep it.
//
// Flow: the packets of one read are handled, and their answers queued,
// before the next read starts; once more than readPauseBytes of answers
// wait to be written, the packets still buffered and the next read wait for
// the writes to bring the queue down again. A client that sends faster than
// it reads is slowed by not being read, never by its answers being held
// back. Writes gather the queued packets, many per system call.
//
// Threads: everything runs on the server's one network thread.
// Lifetime: the pending asio handlers hold the session (shared_from_this);
// stop() closes the socket and cancels the timers, so the handlers end and
// the session is freed. stop() is idempotent and detaches from the Desk,
// which must outlive every session (the io_context that holds the handlers
// is destroyed before the Desk).
#pragma once

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "Desk.h"
#include "DeskClient.h"
#include "Faults.h"
#include "RequestJournal.h"

namespace hvr::sim {

struct SessionOptions {
    std::chrono::milliseconds idleTimeout{30000};  // silence after which the client is dropped
    std::chrono::milliseconds heartbeatInterval{5000};  // a heartbeat while logged in; 0 = none
    std::size_t maxQueuedBytes = 64u << 20;        // a client that lets more pile up is dropped
    std::size_t maxPacketBeforeLogin = 64u << 10;  // largest packet (header included) before a login
    RequestJournal* journal = nullptr;             // not owned; outlives every session; none = no journal
    std::chrono::milliseconds loginTimeout{60000};  // a connection not logged in by then is closed
    std::size_t readPauseBytes = 256u << 10;       // nothing read while more than this waits to be written
};

class Session : public std::enable_shared_from_this<Session>, public DeskClient, public HeldConnection {
public:
    Session(boost::asio::ip::tcp::socket socket, Desk& desk, const SessionOptions& options,
            ConnectionFaults faults = {});
    ~Session();

    void start();
    // Ends the hold of a held fault: the fault plays from now on, and the
    // timeouts count from now. Nothing for any other connection.
    void letGo() override;
    void stop(const std::string& reason);
    // stop(), closing with a reset: what has not been read is discarded.
    void reset(const std::string& reason);
    bool stopped() const { return stopped_; }

    // True once a login of this connection succeeded (and no logout since).
    bool loggedIn();
    // When the connection was accepted: the server closes the oldest
    // connection that has not logged in to make room for a new one.
    std::chrono::steady_clock::time_point connectedAt() const { return connectedAt_; }

    void sendPacket(std::string packet) override;
    const std::string& peerName() const override { return peer_; }

private:
    struct Outgoing {
        std::string bytes;
        std::chrono::steady_clock::time_point due;  // not written before this time
    };

    void close(const std::string& reason, bool withReset);
    void onFaultTimer(const boost::system::error_code& error);
    void readSome();
    void onRead(const boost::system::error_code& error, std::size_t size);
    void handleBuffered();
    bool dispatch(const uint8_t* packet, const PacketHeader& header, std::string& malformed);
    std::string tooLargeBeforeLogin(const PacketHeader& header);
    std::string tooLargeTailBeforeLogin();
    void armIdleTimer(std::chrono::steady_clock::time_point at);
    void onIdleTimer(const boost::system::error_code& error);
    // Closes the connection when its login or idle deadline has passed, or
    // waits for the deadline again; once what waits in the socket is read.
    void judgeIdle();
    // When the idle or the login timeout next runs out.
    std::chrono::steady_clock::time_point deadline();
    void armHeartbeat();
    void onHeartbeat(const boost::system::error_code& error);
    void writeNext();
    void consumeWritten(std::size_t size);
    void onWritten(const boost::system::error_code& error, std::size_t size);

    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer idleTimer_;
    boost::asio::steady_timer delayTimer_;
    boost::asio::steady_timer heartbeatTimer_;
    boost::asio::steady_timer faultTimer_;
    Desk& desk_;
    const SessionOptions options_;
    ConnectionFaults faults_;
    std::string peer_;
    uint16_t peerPort_ = 0;
    const std::string id_;  // PID.N, as the request journal names the connection

    // Receive side.
    std::array<char, 65536> readChunk_{};
    int64_t readStarted_ = 0;  // when the pending receive was asked for (journal clock)
    uint64_t bytesRead_ = 0;
    std::string inbound_;  // bounded at MAX_PACKET_SIZE, before a login by the smaller limit
    std::chrono::steady_clock::time_point connectedAt_;
    std::chrono::steady_clock::time_point lastHeard_;  // when the last whole packet arrived
    std::chrono::steady_clock::time_point notLoggedInSince_;  // the connect, or the last logout
    bool wasLoggedIn_ = false;
    bool readPaused_ = false;  // handling and reading wait for the queue to drain to readPauseBytes
    bool reading_ = false;     // a receive is pending
    bool judgeAfterRead_ = false;  // the idle judgement waits for the pending receive

    // Send side: the queue, the progress of its front packet, the one write
    // and the buffers it gathers (they point into queue_, whose packets stay
    // put until onWritten pops them).
    std::deque<Outgoing> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t frontWritten_ = 0;
    std::vector<boost::asio::const_buffer> writeBuffers_;
    bool writing_ = false;

    bool stopped_ = false;
};

}  // namespace hvr::sim
