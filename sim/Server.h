// The listening side of the server: binds a loopback endpoint, accepts
// clients and starts one Session per connection.
//
// Limits: at most maxConnections sessions are open at once. When a new
// connection finds them all taken, the oldest one that has not logged in is
// closed to make room (idle strangers cannot lock real clients out); only
// when every one is logged in is the new connection accepted and closed at
// once. A failed accept (no file
// descriptors left, for one) is retried after an AcceptBackoff wait, and its
// log line is throttled to one a second, so a lasting failure neither spins
// nor floods the log. A DescriptorReserve is let go while the failure is
// logged, so the error path never runs with no descriptor at all. Each
// session gets the faults Faults hands out for it, in accept order, and the
// held ones are given back to Faults to wait for their turn.
//
// Threads: constructed on any thread; start(), stop() and every handler run
// on the io_context's one network thread.
// Lifetime: sessions live through their own handlers; the server keeps only
// weak references so that stop() can close the ones still open. The Desk,
// the Faults and the io_context outlive the server.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "AcceptBackoff.h"
#include "DescriptorReserve.h"
#include "Desk.h"
#include "Faults.h"
#include "LogThrottle.h"
#include "Session.h"

namespace hvr::sim {

class Server {
public:
    static constexpr std::size_t DEFAULT_MAX_CONNECTIONS = 256;

    // Binds and listens at once; throws boost::system::system_error when the
    // endpoint cannot be bound.
    Server(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint, Desk& desk,
           const SessionOptions& options, Faults& faults, std::size_t maxConnections = DEFAULT_MAX_CONNECTIONS);

    // The bound endpoint (with the chosen port when 0 was asked for).
    boost::asio::ip::tcp::endpoint endpoint() const { return endpoint_; }

    void start();
    // Closes the acceptor and every open session. Idempotent.
    void stop();

private:
    void accept();
    void onAccepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
    void retryAcceptLater(const boost::system::error_code& error);
    void refuse(boost::asio::ip::tcp::socket& socket);
    bool makeRoom();
    std::size_t openSessions();

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    boost::asio::ip::tcp::endpoint endpoint_;
    Desk& desk_;
    const SessionOptions options_;
    Faults& faults_;
    const std::size_t maxConnections_;
    std::vector<std::weak_ptr<Session>> sessions_;
    AcceptBackoff backoff_;
    DescriptorReserve reserve_;
    LogThrottle acceptFailureLog_{std::chrono::seconds(1)};
    LogThrottle refusalLog_{std::chrono::seconds(1)};
    bool stopped_ = false;
};

}  // namespace hvr::sim
