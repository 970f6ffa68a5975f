// The whole simulator assembled from its options: the faults it injects, the
// database lock, configuration, store, book, desk, listening server,
// optional price walk and signal handling (SIGINT / SIGTERM stop it, SIGUSR1
// logs the market, SIGUSR2 lets the next held connection go).
//
// Threads: construct on any thread; run() turns the calling thread into the
// one network thread and returns after stop(). stop() may be called from any
// thread. endpoint() is fixed once constructed.
// Members are declared in dependency order and destroyed in reverse: the
// io_context (and with it every session handler) goes before the Desk that
// sessions detach from, the Desk before the Book and the Store, the Store
// (closing the database) before the lock is let go, and the Faults that the
// book, desk and server consult last.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <optional>

#include "Book.h"
#include "DatabaseLock.h"
#include "Desk.h"
#include "Faults.h"
#include "Options.h"
#include "PriceWalk.h"
#include "RequestJournal.h"
#include "Server.h"
#include "Store.h"

namespace hvr::sim {

class SimApp {
public:
    // Locks the database, loads the configuration, opens the day and binds
    // the listening socket. Throws (DatabaseInUse, tools::ConfigError,
    // SqliteError, boost::system::system_error, std::runtime_error) with a
    // message fit for the user.
    explicit SimApp(const SimOptions& options);
    ~SimApp();

    boost::asio::ip::tcp::endpoint endpoint() const { return server_->endpoint(); }

    // Writes the port file (when asked for) and prints the startup line on
    // stdout. Throws std::runtime_error when the port file cannot be written.
    void announce();

    // From now on SIGINT / SIGTERM stop the server, SIGUSR1 logs the market
    // view and SIGUSR2 lets the next held connection go (a signal that comes
    // before run() is handled once it runs). Call before announce(), so that
    // whoever waits for the startup line may signal at once.
    void catchSignals();

    // Serves until stop() (or a signal caught by catchSignals()).
    void run();

    // Stops serving; thread-safe.
    void stop();

    // Lets the next held connection go (Faults::letGoNextHeld); thread-safe.
    void letGoNextHeld();

    // Logs one line per instrument: last price and resting orders. Network
    // thread only (the SIGUSR1 handler calls it).
    void logMarketView();

private:
    void stepPriceWalk();
    void awaitStatusSignal();
    void awaitLetGoSignal();

    SimOptions options_;
    Faults faults_;
    std::unique_ptr<DatabaseLock> lock_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Book> book_;
    std::unique_ptr<Desk> desk_;
    std::unique_ptr<RequestJournal> journal_;  // before io_: outlives the sessions its handlers hold
    boost::asio::io_context io_;
    std::unique_ptr<Server> server_;
    std::optional<boost::asio::signal_set> signals_;
    std::optional<boost::asio::signal_set> statusSignal_;
    std::optional<boost::asio::signal_set> letGoSignal_;
    std::optional<PriceWalk> walk_;
    boost::asio::steady_timer walkTimer_;
};

}  // namespace hvr::sim
