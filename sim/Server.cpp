#include "Server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

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
               std::size_t maxConnections)
    : acceptor_(io), retryTimer_(io), desk_(desk), options_(options), maxConnections_(maxConnections) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    if (options.smallSocketBuffers) {
        // Inherited by every accepted socket; the segment size is announced
        // in the handshake, so both must be set before listening.
        acceptor_.set_option(asio::socket_base::receive_buffer_size(SMALL_RECEIVE_BUFFER));
        const int segment = SMALL_MAX_SEGMENT;
        ::setsockopt(acceptor_.native_handle(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
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
        ConnectionFault fault;
        if (faultsHandedOut_ < options_.connectionFaults.size()) fault = options_.connectionFaults[faultsHandedOut_++];
        auto session = std::make_shared<Session>(std::move(socket), desk_, options_, fault);
        sessions_.push_back(session);
        session->start();
        if (fault.held) {
            if (++heldHandedOut_ <= heldLetGo_)
                session->letGo();  // its turn was asked for before it came
            else
                held_.push_back(session);
        }
    }
    accept();
}

void Server::letGoNextHeld() {
    ++heldLetGo_;
    if (held_.empty()) return;  // the next held connection is let go as it comes
    const std::shared_ptr<Session> session = held_.front().lock();
    held_.pop_front();
    if (session) session->letGo();
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
