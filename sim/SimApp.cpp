#include "SimApp.h"

#include <sys/resource.h>

#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "BookSetup.h"
#include "ConnectionCap.h"
#include "EventLog.h"
#include "Fixed.h"

namespace hvr::sim {

namespace asio = boost::asio;

namespace {

uint64_t millisecondsSinceEpoch() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// --max-connections, lowered (with a warning) to what the descriptor limit allows.
std::size_t connectionCapLogged(std::size_t asked) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return asked;
    const std::size_t cap = connectionCap(asked, limit.rlim_cur);
    if (cap < asked)
        logWarning("--max-connections " + std::to_string(asked) + " lowered to " + std::to_string(cap) +
                   ": the process may open only " + std::to_string(limit.rlim_cur) +
                   " file descriptors (ulimit -n)");
    return cap;
}

}  // namespace

SimApp::SimApp(const SimOptions& options) : options_(options), faults_(options.faults), walkTimer_(io_) {
    lock_ = std::make_unique<DatabaseLock>(options.db);
    const tools::TradingConfig config =
        options.configFile.empty() ? tools::defaultTradingConfig() : tools::loadTradingConfig(options.configFile);
    const uint32_t newDayDate = options.tradingDate != 0 ? options.tradingDate : todayTradingDate();
    store_ = std::make_unique<Store>(options.db, options.freshDay, newDayDate);

    Book::Options bookOptions;
    bookOptions.partialFills = options.partialFills;
    bookOptions.faults = &faults_;
    book_ = std::make_unique<Book>(instrumentsFrom(config), accountsFrom(config), store_->load(),
                                   millisecondsSinceEpoch, bookOptions);
    store_->save(*book_, book_->takeChanges());  // accounts new to this day
    logEvent(std::string(store_->startedNewDay() ? "new" : "continuing") + " trading day " +
             std::to_string(book_->tradingDate()) + " in " + options.db);
    if (!store_->startedNewDay() && options.tradingDate != 0 && options.tradingDate != book_->tradingDate())
        logWarning("--trading-date " + std::to_string(options.tradingDate) +
                 " ignored: the database holds a day already (use --fresh-day for a new one)");

    Desk::Options deskOptions;
    deskOptions.compressThreshold = options.compressThreshold;
    deskOptions.faults = &faults_;
    desk_ = std::make_unique<Desk>(*book_, *store_, deskOptions);

    SessionOptions sessionOptions;
    sessionOptions.idleTimeout = std::chrono::milliseconds(
        static_cast<int64_t>(options.idleTimeoutSeconds * 1000.0 + 0.5));
    sessionOptions.loginTimeout = std::chrono::milliseconds(
        static_cast<int64_t>(options.loginTimeoutSeconds * 1000.0 + 0.5));
    sessionOptions.heartbeatInterval = std::chrono::milliseconds(
        static_cast<int64_t>(options.heartbeatSeconds * 1000.0 + 0.5));
    if (!options.requestJournal.empty()) {
        journal_ = std::make_unique<RequestJournal>(options.requestJournal);
        sessionOptions.journal = journal_.get();
    }
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options.listen), options.port);
    server_ = std::make_unique<Server>(io_, endpoint, *desk_, sessionOptions, faults_,
                                       connectionCapLogged(options.maxConnections));

    if (options.randomWalkSeed) walk_.emplace(*options.randomWalkSeed, book_->instruments());
}

SimApp::~SimApp() = default;

void SimApp::announce() {
    const asio::ip::tcp::endpoint bound = endpoint();
    if (!options_.portFile.empty()) {
        // Written aside and renamed, so a reader never sees a half-written number.
        const std::string temporary = options_.portFile + ".tmp";
        {
            std::ofstream out(temporary, std::ios::trunc);
            out << bound.port() << '\n';
            if (!out.flush()) throw std::runtime_error("cannot write the port file " + temporary);
        }
        if (std::rename(temporary.c_str(), options_.portFile.c_str()) != 0)
            throw std::runtime_error("cannot write the port file " + options_.portFile);
    }
    std::cout << "hvr-sim listening on " << bound.address().to_string() << ":" << bound.port() << std::endl;
}

void SimApp::catchSignals() {
    signals_.emplace(io_, SIGINT, SIGTERM);
    signals_->async_wait([this](const boost::system::error_code& error, int signal) {
        if (error) return;
        logEvent("signal " + std::to_string(signal) + ": shutting down");
        stop();
    });
    statusSignal_.emplace(io_, SIGUSR1);
    awaitStatusSignal();
    letGoSignal_.emplace(io_, SIGUSR2);
    awaitLetGoSignal();
}

void SimApp::run() {
    server_->start();
    if (walk_) stepPriceWalk();
    io_.run();
}

void SimApp::stop() {
    asio::post(io_, [this] {
        server_->stop();
        walkTimer_.cancel();
        if (signals_) signals_->cancel();
        if (statusSignal_) statusSignal_->cancel();
        if (letGoSignal_) letGoSignal_->cancel();
        io_.stop();
    });
}

void SimApp::letGoNextHeld() {
    asio::post(io_, [this] { faults_.letGoNextHeld(); });
}

void SimApp::stepPriceWalk() {
    walkTimer_.expires_after(std::chrono::milliseconds(options_.randomWalkMs));
    walkTimer_.async_wait([this](const boost::system::error_code& error) {
        if (error) return;
        for (const auto& [code, last] : walk_->step()) {
            if (debugLogging())
                logDebug("walk: " + code + " " + formatFixed(book_->instruments().at(code).last) + " -> " +
                         formatFixed(last));
            desk_->moveLastPrice(code, last);
        }
        stepPriceWalk();
    });
}

void SimApp::awaitStatusSignal() {
    statusSignal_->async_wait([this](const boost::system::error_code& error, int) {
        if (error) return;
        logMarketView();
        awaitStatusSignal();
    });
}

void SimApp::awaitLetGoSignal() {
    letGoSignal_->async_wait([this](const boost::system::error_code& error, int) {
        if (error) return;
        logEvent("SIGUSR2: letting the next held connection go");
        letGoNextHeld();
        awaitLetGoSignal();
    });
}

void SimApp::logMarketView() {
    for (const Book::MarketLine& line : book_->marketView()) {
        logEvent("market " + line.code + ": last " + formatFixed(line.last) + ", " +
                 std::to_string(line.restingBuys) + " resting buys" +
                 (line.restingBuys ? " (best " + formatFixed(line.bestBid) + ")" : std::string()) + ", " +
                 std::to_string(line.restingSells) + " resting sells" +
                 (line.restingSells ? " (best " + formatFixed(line.bestAsk) + ")" : std::string()));
    }
}

}  // namespace hvr::sim
