#include "Server.h"

#include <algorithm>

#include "EventLog.h"

namespace hvr::sim {

namespace asio = boost::asio;
using asio::ip::tcp;

Server::Server(asio::io_context& io, const tcp::endpoint& endpoint, Desk& desk, const SessionOptions& options)
    : acceptor_(io), desk_(desk), options_(options) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    endpoint_ = acceptor_.local_endpoint();
}

void Server::start() { accept(); }

void Server::stop() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (const std::weak_ptr<Session>& weak : sessions_)
        if (std::shared_ptr<Session> session = weak.lock()) session->stop("server shutting down");
    sessions_.clear();
}

void Server::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (stopped_ || error == asio::error::operation_aborted) return;
        if (error) {
            logEvent("accept failed: " + error.message());
        } else {
            socket.set_option(tcp::no_delay(true));
            auto session = std::make_shared<Session>(std::move(socket), desk_, options_);
            sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                           [](const std::weak_ptr<Session>& w) { return w.expired(); }),
                            sessions_.end());
            sessions_.push_back(session);
            session->start();
        }
        accept();
    });
}

}  // namespace hvr::sim
