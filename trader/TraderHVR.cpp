// Lifecycle of the trader: construction, configuration, listener, connect,
// disconnect, release and destruction, and the network thread's life.
#include "trader/TraderHVR.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstring>

#include "ops/EntrustId.h"
#include "texts/LogText.h"

namespace hvr {

namespace {

const kra::NXSConfigNode* childOf(const kra::NXSConfigNode* node, const char* key) {
    return node != nullptr ? node->child(key) : nullptr;
}

std::string textOf(const kra::NXSConfigNode* node, const char* key) {
    const kra::NXSConfigNode* c = childOf(node, key);
    const char* text = c != nullptr ? c->textValue() : nullptr;
    return text != nullptr ? text : "";
}

int intOf(const kra::NXSConfigNode* node, const char* key) {
    const kra::NXSConfigNode* c = childOf(node, key);
    return c != nullptr ? c->intValue() : 0;
}

// A numeric IPv6 literal (with an optional scope id), else a dotted IPv4
// literal. No name lookup.
boost::asio::ip::address parseNumericAddress(const std::string& text) {
    boost::system::error_code error;
    boost::asio::ip::address_v6 v6 = boost::asio::ip::make_address_v6(text, error);
    if (!error) return v6;
    boost::asio::ip::address_v4 v4 = boost::asio::ip::make_address_v4(text, error);
    if (!error) return v4;
    throw boost::system::system_error(
        error, "TraderHVR::init: \"host\" must be a numeric IPv4 or IPv6 address, got \"" + text + "\"");
}

}  // namespace

TraderHVR::TraderHVR() : strand(ioService), heartbeatTimer(ioService) {}

TraderHVR::~TraderHVR() {
    // A host that skipped release must not leave the network thread running
    // on freed memory: run the close step and wait, as release does.
    stopNetworkThread();
    heartbeatTimer.cancel();
    flowRecord.close();  // what it finds is not logged: the listener may be gone
}

bool TraderHVR::init(const kra::NXSConfigNode* config) {
    const std::string host = textOf(config, "host");
    const int port = intOf(config, "port");
    const std::string folder = textOf(config, "folder");
    {
        MutexLock guard(&stateLock);
        settings.host = host;
        settings.port = port;
        settings.folder = folder;
    }
    if (!folder.empty() && !boost::filesystem::exists(folder)) boost::filesystem::create_directories(folder);
    {
        MutexLock guard(&stateLock);
        settings.pushMode = intOf(config, "pushmode");
        settings.noDelay = intOf(config, "nodelay") == 1;
    }
    // Logins choose their push id by pushmode again; pushes still arriving on
    // the running session keep being recorded until the next login or release.
    flowRecord.detach();

    const boost::asio::ip::address address = parseNumericAddress(host);
    MutexLock guard(&stateLock);
    settings.endpoint = boost::asio::ip::tcp::endpoint(address, static_cast<uint16_t>(port & 0xFFFF));
    if (state == ConnectionState::Stopped) state = ConnectionState::Idle;
    closing = false;
    return true;
}

void TraderHVR::registerListener(kra::ITraderListener* newListener) {
    reporter.setListener(newListener);
    if (newListener != nullptr) reporter.setCatalog(newListener->getContractCatalog());
}

void TraderHVR::connect() {
    MutexLock guard(&stateLock);
    if (closing) return;  // release is ending this object's session
    if (state != ConnectionState::Stopped) {
        withdrawLiveSocketLocked();
        const uint64_t attempt = ++connectionId;
        state = ConnectionState::Connecting;
        // The socket is the network thread's: the attempt starts there. Posted
        // under the lock, so steps reach the network thread in the order of
        // their ids and a replaced attempt always ends before its successor.
        boost::asio::post(ioService, [this, attempt] { startAttempt(attempt); });
    }
    if (!networkThread) startNetworkThreadLocked();
}

void TraderHVR::disconnect() {
    {
        MutexLock guard(&stateLock);
        // A (0, 0) being delivered right now returns before the host hears
        // (1, 0), so the two never arrive the other way round. Inside that
        // very callback the (0, 0) has been heard already.
        while (reportingConnected && !onNetworkThread()) stateChanged.wait(&stateLock);
        state = ConnectionState::Stopped;
        withdrawLiveSocketLocked();
        // Without a network thread there is no socket to close.
        if (networkThread) {
            const uint64_t attempt = connectionId;
            boost::asio::post(ioService, [this, attempt] { closeSocketOf(attempt); });
        }
    }
    reporter.event(1, 0);
}

bool TraderHVR::isConnected() {
    MutexLock guard(&stateLock);
    return state == ConnectionState::Connecting || state == ConnectionState::Connected;
}

bool TraderHVR::makeEntrustId(char* buffer, int length) {
    if (buffer == nullptr || length <= 0) return false;
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    MutexLock guard(&identityLock);
    // A buffer too short for the whole id gets nothing, and uses up no number.
    if (formatEntrustId(buffer, static_cast<std::size_t>(length), tradingDate, sessionId, entrustSequence + 1) == 0)
        return false;
    ++entrustSequence;
    return true;
}

void TraderHVR::release() {
    logout();
    boost::thread* thread = nullptr;
    {
        MutexLock guard(&stateLock);
        thread = networkThread.get();
    }
    // Without a network thread nothing runs and nothing is left queued.
    if (thread == nullptr) return;
    // Joining from inside the thread is refused by the thread library with
    // its resource-deadlock error, which reaches the caller.
    if (thread->get_id() == boost::this_thread::get_id()) thread->join();
    stopNetworkThread();
}

void TraderHVR::startNetworkThreadLocked() {
    // The guard keeps the loop running between connections; only the close
    // step lets it go.
    keepRunning.emplace(ioService.get_executor());
    networkThread = std::make_unique<boost::thread>([this] { runNetworkThread(); });
}

void TraderHVR::runNetworkThread() {
    networkThreadId.store(std::this_thread::get_id());
    for (;;) {
        try {
            ioService.run();
            break;
        } catch (const std::exception& e) {
            // A handler failed outside any listener call; the connection stays
            // as that handler left it.
            reporter.log(kra::LOG_LEVEL_ERROR, LOG_LOOP_ERROR, e.what());
        } catch (...) {
            reporter.log(kra::LOG_LEVEL_ERROR, LOG_LOOP_ERROR, UNKNOWN_EXCEPTION);
        }
    }
    networkThreadId.store(std::thread::id());
}

void TraderHVR::stopNetworkThread() {
    boost::thread* thread = nullptr;
    {
        MutexLock guard(&stateLock);
        if (!networkThread) return;
        thread = networkThread.get();
        closing = true;  // ends a two-second wait at once and refuses new attempts
    }
    stateChanged.signalAll();
    if (thread->get_id() == boost::this_thread::get_id()) {
        // Destroyed from a listener callback: the thread cannot wait for
        // itself; it is left to end on its own.
        thread->detach();
        return;
    }
    boost::asio::post(strand, [this] { closeSession(); });
    thread->join();
    MutexLock guard(&stateLock);
    networkThread.reset();
    ioService.restart();  // a later connect may run the loop again
}

void TraderHVR::closeSession() {
    heartbeatTimer.cancel();
    disconnect();
    closeSocket();
    reportFlowNotices(flowRecord.close());
    {
        MutexLock guard(&stateLock);
        keepRunning.reset();
    }
    // The completions the close has aborted are queued already and run first
    // (a write cut off before any byte left puts its requests back in the
    // queue); then whatever never left is reported, and the loop stops.
    boost::asio::post(ioService, [this] {
        if (const int unsent = unsentRequests(); unsent > 0)
            reporter.log(kra::LOG_LEVEL_ERROR, LOG_UNSENT_AT_CLOSE, unsent);
        ioService.stop();
    });
}

bool TraderHVR::onNetworkThread() const { return networkThreadId.load() == std::this_thread::get_id(); }

}  // namespace hvr

extern "C" __attribute__((visibility("default"))) kra::ITraderApi* createTrader() {
    try {
        return new hvr::TraderHVR();
    } catch (...) {
        return nullptr;  // never let an exception cross into a C caller
    }
}

extern "C" __attribute__((visibility("default"))) void deleteTrader(kra::ITraderApi*& trader) {
    if (trader == nullptr) return;
    delete trader;
    trader = nullptr;
}
