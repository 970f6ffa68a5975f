// Lifecycle of the trader: construction, configuration, listener, connect,
// disconnect, release and destruction.
#include "trader/TraderHVR.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstring>

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
    std::lock_guard<std::mutex> guard(flowLock);
    flowRecord.store(nullptr);
    flowFile.reset();
    retiredFlowFiles.clear();
}

bool TraderHVR::init(const kra::NXSConfigNode* config) {
    closing.store(false);
    const std::string hostText = textOf(config, "host");
    const int portValue = intOf(config, "port");
    const std::string folderText = textOf(config, "folder");
    {
        std::lock_guard<std::mutex> guard(configLock);
        host = hostText;
        port = portValue;
        folder = folderText;
    }
    if (!folderText.empty() && !boost::filesystem::exists(folderText)) {
        boost::filesystem::create_directories(folderText);
    }
    {
        std::lock_guard<std::mutex> guard(configLock);
        pushMode = intOf(config, "pushmode");
    }
    closeFlowRecord();

    const boost::asio::ip::address address = parseNumericAddress(hostText);
    {
        std::lock_guard<std::mutex> guard(configLock);
        endpoint = boost::asio::ip::tcp::endpoint(address, static_cast<uint16_t>(portValue & 0xFFFF));
    }
    stopped.store(false);
    return true;
}

void TraderHVR::registerListener(kra::ITraderListener* newListener) {
    listener.store(newListener, std::memory_order_release);
    if (newListener != nullptr) contractCatalog.store(newListener->getContractCatalog());
}

void TraderHVR::connect() {
    startConnect();
    std::lock_guard<std::mutex> guard(threadLock);
    ++connectGeneration;
    if (networkThreadRunning) return;  // the running thread picks the attempt up
    if (networkThread && networkThread->joinable() && !onNetworkThread()) networkThread->join();
    const uint64_t generation = connectGeneration;
    networkThread = std::make_shared<boost::thread>([this, generation] { runNetworkThread(generation); });
    networkThreadRunning = true;
}

void TraderHVR::disconnect() {
    stopped.store(true);
    {
        std::lock_guard<std::mutex> guard(socketLock);
        destroySocketLocked();
    }
    reportEvent(1, 0);
}

bool TraderHVR::isConnected() {
    std::lock_guard<std::mutex> guard(socketLock);
    return socket && socket->is_open();
}

bool TraderHVR::makeEntrustId(char* buffer, int length) {
    if (buffer == nullptr || length <= 0) return false;
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    const uint32_t n = entrustSequence.fetch_add(1) + 1;
    std::snprintf(buffer, static_cast<std::size_t>(length), "%u.%u.%06u", tradingDate.load(), sessionId.load(), n);
    return true;
}

void TraderHVR::release() {
    logout();
    std::shared_ptr<boost::thread> thread;
    {
        std::lock_guard<std::mutex> guard(threadLock);
        thread = networkThread;
    }
    if (thread && thread->get_id() == boost::this_thread::get_id()) {
        // Joining from inside the thread is refused by the thread library.
        thread->join();
    }
    stopNetworkThread();
}

void TraderHVR::stopNetworkThread() {
    std::shared_ptr<boost::thread> thread;
    {
        std::lock_guard<std::mutex> guard(threadLock);
        thread = networkThread;
    }
    if (!thread) return;
    if (thread->get_id() == boost::this_thread::get_id()) {
        // Destroyed from a listener callback: the thread cannot wait for
        // itself; it is left to end on its own.
        thread->detach();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(waitLock);
        closing.store(true);
    }
    waitSignal.notify_all();
    boost::asio::post(strand, [this] { closeSession(); });
    if (thread->joinable()) thread->join();
}

void TraderHVR::closeSession() {
    closing.store(true);
    heartbeatTimer.cancel();
    disconnect();
    {
        std::lock_guard<std::mutex> guard(socketLock);
        destroySocketLocked();
    }
    ioService.stop();
    closeFlowRecord();
}

void TraderHVR::reportEvent(int kind, int code) {
    if (kra::ITraderListener* l = listener.load(std::memory_order_acquire)) l->onTraderEvent(kind, code);
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
