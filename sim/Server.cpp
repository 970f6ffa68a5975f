#include "Server.h"

#include <algorithm>

#include "EventLog.h"

namespace hvr::sim {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

std::string andLeftOut(uint64_t leftOut) {
    return leftOut == 0 ? std::string() : " (" + std::to_string(leftOut) + " more like it not logged)";
}

}  // namespace

Server::Server(asio::io_context& io, const tcp::endpoint& endpoint, Desk& desk, const SessionOptions& options,
               Faults& faults, std::size_t maxConnections)
    : acceptor_(io),
      retryTimer_(io),
      desk_(desk),
      options_(options),
      faults_(faults),
      maxConnections_(maxConnections) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    faults_.prepareListeningSocket(acceptor_.native_handle());
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
    retryTimer_.cancel();
    for (const std::weak_ptr<Session>& weak : sessions_)
        if (std::shared_ptr<Session> session = weak.lock()) session->stop("server shutting down");
    sessions_.clear();
}

void Server::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        onAccepted(error, std::move(socket));
    });
}

void Server::onAccepted(const boost::system::error_code& error, tcp::socket socket) {
    if (stopped_ || error == asio::error::operation_aborted) return;
    if (error) {
        retryAcceptLater(error);
        return;
    }
    backoff_.afterSuccess();
    if (openSessions() >= maxConnections_ && !makeRoom()) {
        refuse(socket);
    } else {
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        ConnectionFaults faults = faults_.nextConnection();
        const bool held = faults.held();
        auto session = std::make_shared<Session>(std::move(socket), desk_, options_, std::move(faults));
        sessions_.push_back(session);
        session->start();
        if (held) faults_.hold(session);
    }
    accept();
}

void Server::retryAcceptLater(const boost::system::error_code& error) {
    const std::chrono::milliseconds wait = backoff_.afterFailure();
    if (const auto leftOut = acceptFailureLog_.admit(LogThrottle::Clock::now())) {
        reserve_.whileReleased([&] {
            logWarning("accept failed: " + error.message() + "; trying again in " + std::to_string(wait.count()) +
                       " ms" + andLeftOut(*leftOut));
        });
    }
    retryTimer_.expires_after(wait);
    retryTimer_.async_wait([this](const boost::system::error_code& timerError) {
        if (timerError || stopped_) return;
        accept();
    });
}

void Server::refuse(tcp::socket& socket) {
    boost::system::error_code ignored;
    const tcp::endpoint peer = socket.remote_endpoint(ignored);
    if (const auto leftOut = refusalLog_.admit(LogThrottle::Clock::now()))
        logWarning("connection from " + (ignored ? std::string("unknown peer") : peer.address().to_string() + ":" +
                                                                                      std::to_string(peer.port())) +
                   " refused: " + std::to_string(maxConnections_) + " connections open (--max-connections)" +
                   andLeftOut(*leftOut));
    socket.close(ignored);
}

bool Server::makeRoom() {
    std::shared_ptr<Session> oldest;
    for (const std::weak_ptr<Session>& weak : sessions_) {
        std::shared_ptr<Session> session = weak.lock();
        if (session && !session->stopped() && !session->loggedIn() &&
            (!oldest || session->connectedAt() < oldest->connectedAt()))
            oldest = session;
    }
    if (!oldest) return false;
    const auto waited = std::chrono::steady_clock::now() - oldest->connectedAt();
    oldest->stop("closed to make room for a new connection (" + std::to_string(maxConnections_) +
                 " are open): not logged in after " +
                 std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()) + " ms");
    return true;
}

// Sessions still open: a stopped one has closed its socket already, even
// while its last handlers keep the object alive.
std::size_t Server::openSessions() {
    sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                   [](const std::weak_ptr<Session>& w) {
                                       const std::shared_ptr<Session> session = w.lock();
                                       return !session || session->stopped();
                                   }),
                    sessions_.end());
    return sessions_.size();
}

}  // namespace hvr::sim
