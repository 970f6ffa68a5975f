// The listening side of the server: binds a loopback endpoint, accepts
// clients and starts one Session per connection.
//
// Threads: constructed on any thread; start(), stop() and every handler run
// on the io_context's one network thread.
// Lifetime: sessions live through their own handlers; the server keeps only
// weak references so that stop() can close the ones still open. The Desk
// and the io_context outlive the server.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <vector>

#include "Desk.h"
#include "Session.h"

namespace hvr::sim {

class Server {
public:
    // Binds and listens at once; throws boost::system::system_error when the
    // endpoint cannot be bound.
    Server(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint, Desk& desk,
           const SessionOptions& options);

    // The bound endpoint (with the chosen port when 0 was asked for).
    boost::asio::ip::tcp::endpoint endpoint() const { return endpoint_; }

    void start();
    // Closes the acceptor and every open session. Idempotent.
    void stop();

private:
    void accept();

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::endpoint endpoint_;
    Desk& desk_;
    const SessionOptions options_;
    std::vector<std::weak_ptr<Session>> sessions_;
    bool stopped_ = false;
};

}  // namespace hvr::sim
