// Lifecycle of the trader: construction, configuration, listener, connect,
// disconnect, release and destruction, and the network thread's life.
#include "trader/TraderHVR.h"

#include <sys/mman.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/thread/exceptions.hpp>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ops/ConfigNumbers.h"
#include "ops/EntrustId.h"
#include "ops/FlowNoticeLog.h"
#include "texts/LogText.h"
#include "trader/ForkGeneration.h"

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

TraderHVR::TraderHVR() : forkGeneration(forkGenerationAtCreation()) {}

TraderHVR::~TraderHVR() {
    if (copiedByFork()) {
        // The socket's destructor would take it out of the event loop that
        // the parent shares; the thread handle names a thread of the parent.
        // Both are left to the process (deleteTrader leaves the whole copy).
        link.leaveSocketAfterFork();
        leaveThreadAfterFork();
        return;
    }
    if (thread.isCurrent()) {
        // delete from inside one of the trader's own callbacks (deleteTrader
        // refuses that; a plain delete cannot be refused). The thread cannot
        // wait for itself, and once this object is gone it would return from
        // the callback into freed, unmapped memory: the process ends here,
        // with a line that names the cause, instead of running on corrupt
        // memory.
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_DELETED_IN_CALLBACK);
        std::abort();
    }
    // A host that skipped release must not leave the network thread running
    // on freed memory: run the close step and wait, as release does.
    {
        MutexLock guard(&lifecycleLock);
        leavePool();
        stopNetworkThread();
    }
    flowRecord.close();  // what it finds is not logged: the listener may be gone
}

bool TraderHVR::init(const kra::NXSConfigNode* config) {
    if (copiedByFork()) return true;
    // Everything is read and checked before anything is stored: an init that
    // throws leaves the settings, the record and the stop flag as they were.
    LinkSettings next;
    next.host = textOf(config, "host");
    const ConfigNumber<uint16_t> port = portOf(textOf(config, "port"), intOf(config, "port"));
    const std::string nextFolder = textOf(config, "folder");
    const int32_t nextPushMode = intOf(config, "pushmode");
    next.noDelay = intOf(config, "nodelay") == 1;
    const ConfigNumber<int> peerTimeout =
        peerTimeoutOf(textOf(config, "peertimeout"), intOf(config, "peertimeout"), MAX_PEER_TIMEOUT_SECONDS);
    next.peerTimeoutSeconds = peerTimeout.value;
    const ConfigNumber<std::size_t> sendQueueLimit =
        sendQueueLimitOf(textOf(config, "sendqueue"), DEFAULT_SEND_QUEUE_LIMIT);
    const bool nextShared = textOf(config, "threads") == "shared";
    const unsigned nextPoolThreads =
        static_cast<unsigned>(std::clamp(intOf(config, "poolthreads"), 0, static_cast<int>(NetworkPool::MAX_THREADS)));
    next.endpoint = boost::asio::ip::tcp::endpoint(parseNumericAddress(next.host), port.value);
    if (!nextFolder.empty() && !boost::filesystem::exists(nextFolder))
        boost::filesystem::create_directories(nextFolder);

    std::vector<ConfigWarning> warnings;
    if (port.suspicious) warnings.push_back({"port", textOf(config, "port"), port.value});
    if (peerTimeout.suspicious)
        warnings.push_back({"peertimeout", textOf(config, "peertimeout"), peerTimeout.value});
    if (sendQueueLimit.suspicious)
        warnings.push_back({"sendqueue", textOf(config, "sendqueue"), static_cast<long long>(sendQueueLimit.value)});

    if (thread.isCurrent()) {
        // From inside a callback: a release under way waits for this very
        // thread, so init cannot wait for it. The settings are stored, and a
        // released object stays released until the next init (Link::configure).
        applyInit(next, nextFolder, nextPushMode, sendQueueLimit.value, nextShared, nextPoolThreads);
    } else {
        // A release under way on another thread finishes first; this init
        // then configures the released object.
        MutexLock guard(&lifecycleLock);
        applyInit(next, nextFolder, nextPushMode, sendQueueLimit.value, nextShared, nextPoolThreads);
    }
    // Hosts usually register their listener after init: the warnings wait
    // for it then.
    if (reporter.listener() == nullptr) {
        MutexLock guard(&sessionLock);
        pendingWarnings = warnings;
        return true;
    }
    logConfigWarnings(warnings);
    return true;
}

void TraderHVR::applyInit(const LinkSettings& next, const std::string& nextFolder, int32_t nextPushMode,
                          std::size_t sendQueueLimit, bool nextShared, unsigned nextPoolThreads) {
    // Logins choose their push id by pushmode again; pushes still arriving on
    // the running session keep being recorded until the next login or release.
    flowRecord.detach();
    {
        MutexLock guard(&sessionLock);
        folder = nextFolder;
        pushMode = nextPushMode;
        pendingWarnings.clear();
    }
    {
        // Taken at the next connect that starts the network side.
        MutexLock guard(&threadLock);
        sharedWanted = nextShared;
        poolThreadsWanted = nextPoolThreads;
    }
    link.configure(next);
    queue.setLimit(sendQueueLimit);
}

void TraderHVR::registerListener(kra::ITraderListener* newListener) {
    reporter.setListener(newListener);
    if (newListener == nullptr) return;
    reporter.setCatalog(newListener->getContractCatalog());
    std::vector<ConfigWarning> warnings;
    {
        MutexLock guard(&sessionLock);
        warnings.swap(pendingWarnings);
    }
    logConfigWarnings(warnings);
}

void TraderHVR::logConfigWarnings(const std::vector<ConfigWarning>& warnings) {
    for (const ConfigWarning& w : warnings)
        reporter.log(kra::LOG_LEVEL_WARN, LOG_CONFIG_VALUE, w.key, w.text.c_str(), w.valueUsed);
}

void TraderHVR::connect() {
    if (copiedByFork()) return;
    bool started = false;
    {
        MutexLock guard(&threadLock);
        // The shared mode: the pool thread takes the trader's steps from the
        // first one on.
        if (sharedWanted && !networkThreadHandle && poolLoop == nullptr && !link.closing()) bindToPoolLocked();
        // After disconnect or release only init starts connecting again.
        started = link.connect();
        if (!networkThreadHandle && poolLoop == nullptr && !link.closing()) startNetworkThreadLocked();
    }
    if (!started) reporter.log(kra::LOG_LEVEL_WARN, LOG_INIT_FIRST);
}

void TraderHVR::disconnect() {
    if (copiedByFork()) return;
    link.disconnect();
}

bool TraderHVR::isConnected() {
    if (copiedByFork()) return false;
    return link.isConnected();
}

bool TraderHVR::makeEntrustId(char* buffer, int length) {
    if (buffer == nullptr || length <= 0) return false;
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    if (copiedByFork()) return false;
    MutexLock guard(&identityLock);
    // A buffer too short for the whole id gets nothing, and uses up no number.
    if (formatEntrustId(buffer, static_cast<std::size_t>(length), tradingDate, sessionId, entrustSequence + 1) == 0)
        return false;
    ++entrustSequence;
    return true;
}

void* TraderHVR::operator new(std::size_t size) {
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    return mapped;
}

void TraderHVR::operator delete(void* object, std::size_t size) noexcept {
    if (object != nullptr) ::munmap(object, size);
}

void TraderHVR::release() {
    if (copiedByFork()) return;  // no logout on the parent's connection, no thread to wait for
    if (thread.isCurrent() || NetworkPool::onPoolThread()) {
        // From inside a callback: the thread cannot wait for itself (nor, on
        // a pool thread, for any trader's close step). Refused before
        // anything happens, with the thread library's own error.
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_RELEASE_IN_CALLBACK);
        throw boost::thread_resource_error(static_cast<int>(boost::system::errc::resource_deadlock_would_occur),
                                           "TraderHVR::release called from inside a listener callback");
    }
    // No logout from a release that comes after another (and no init since).
    if (!link.closing()) logout();
    // One release at a time: a second one returns after the first has
    // finished, and finds no thread (nor pool binding) left to stop. Without
    // a network thread nothing runs and nothing is left queued.
    MutexLock guard(&lifecycleLock);
    leavePool();
    stopNetworkThread();
}

void TraderHVR::destroy(kra::ITraderApi*& trader) {
    if (trader == nullptr) return;
    auto* self = static_cast<TraderHVR*>(trader);
    if (self->copiedByFork()) {
        // Tearing the copy down would act on the event loop it shares with
        // the parent: its memory is left to the process.
        trader = nullptr;
        return;
    }
    if (self->thread.isCurrent() || NetworkPool::onPoolThread()) {
        // The callback that asks for it runs on this very object, or on a
        // pool thread, which never waits for a trader's close step.
        self->reporter.log(kra::LOG_LEVEL_ERROR, LOG_RELEASE_IN_CALLBACK);
        return;
    }
    delete self;
    trader = nullptr;
}

bool TraderHVR::feedReceivedForTools(const uint8_t* data, std::size_t size) {
    NetworkThread::Scope playing(thread);
    return link.consumeReceived(data, size);
}

void TraderHVR::startNetworkThreadLocked() {
    // The guard keeps the loop running between connections; only the close
    // step lets it go.
    keepRunning.emplace(ioService.get_executor());
    networkThreadHandle = std::make_unique<boost::thread>([this] { runNetworkThread(); });
}

void TraderHVR::runNetworkThread() {
    NetworkThread::Scope playing(thread);
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
}

void TraderHVR::stopNetworkThread() {
    boost::thread* running = nullptr;
    {
        MutexLock guard(&threadLock);
        if (!networkThreadHandle) return;
        // The handle stays until the join below: only this call (under
        // lifecycleLock) lets it go, and connect starts no thread while it
        // is there.
        running = networkThreadHandle.get();
        link.beginClose();  // ends a two-second wait at once and refuses new attempts
    }
    // The close step runs on the network thread, after whatever it is doing
    // now (a listener call, the rest of a two-second wait, which beginClose
    // has cut short).
    boost::asio::post(ioService, [this] {
        thread.assertCurrent();
        closeSession(nullptr);
    });
    running->join();
    MutexLock guard(&threadLock);
    networkThreadHandle.reset();
    ioService.restart();  // a later connect may run the loop again
    link.endClose();      // an init from now on makes the link connect again
}

void TraderHVR::bindToPoolLocked() {
    if (!pool) pool = NetworkPool::shared(poolThreadsWanted);
    poolLoop = &pool->bind();
    thread.bind(poolLoop->threadId(),
                [this](const char* what) { reporter.log(kra::LOG_LEVEL_ERROR, LOG_LOOP_ERROR, what); });
    loop.pointAt(poolLoop->context(), true);
}

void TraderHVR::leavePool() {
    std::shared_future<void> closed;
    {
        MutexLock guard(&threadLock);
        if (poolLoop == nullptr) return;
        if (!poolClosed.valid()) {
            link.beginClose();  // ends a two-second wait and refuses new attempts
            auto done = std::make_shared<std::promise<void>>();
            poolClosed = done->get_future().share();
            // After whatever the pool thread is doing now: another trader's
            // handler, or this one's.
            boost::asio::post(poolLoop->context(), [this, done] {
                thread.assertCurrent();
                closeSession(done);
            });
        }
        closed = poolClosed;  // a release under way already: wait for its close step
    }
    closed.wait();
    MutexLock guard(&threadLock);
    if (poolLoop == nullptr) return;  // a release beside this one has unbound already
    thread.unbind();
    loop.pointAt(ioService, false);
    pool->unbind(*poolLoop);
    poolLoop = nullptr;
    poolClosed = {};
    link.endClose();  // an init from now on makes the link connect again
}

void TraderHVR::closeSession(std::shared_ptr<std::promise<void>> closed) {
    // On a shared loop the link's close may wait, as a timer, for the server
    // to acknowledge what was written; the rest of the step comes after.
    link.close([this, closed] {
        thread.assertCurrent();
        finishClose(closed);
    });
}

void TraderHVR::finishClose(std::shared_ptr<std::promise<void>> closed) {
    logFlowNotices(reporter, flowRecord.close());
    {
        MutexLock guard(&threadLock);
        keepRunning.reset();
    }
    // The completions the close has aborted are queued already and run first
    // (a write cut off before any byte left puts its requests back in the
    // queue); then whatever never left is reported and dropped, so that a
    // reused object does not send it on its next session, and the loop stops.
    boost::asio::post(loop.get(), [this, closed] {
        thread.assertCurrent();
        if (const int unsent = queue.dropUnsent(); unsent > 0)
            reporter.log(kra::LOG_LEVEL_ERROR, LOG_UNSENT_AT_CLOSE, unsent);
        // On a pool thread the loop goes on with other traders: release
        // returns, and may delete the object at once. Nothing of it is
        // touched after this.
        if (closed) {
            closed->set_value();
        } else {
            ioService.stop();
        }
    });
}

bool TraderHVR::copiedByFork() const { return currentForkGeneration() != forkGeneration; }

void TraderHVR::leaveThreadAfterFork() {
    // The child runs only the thread that forked: no other thread can hold
    // threadLock's copy for good reasons, but one of the parent's may have
    // held it at the fork, so it is not taken.
    (void)networkThreadHandle.release();
}

}  // namespace hvr

extern "C" __attribute__((visibility("default"))) kra::ITraderApi* createTrader() {
    try {
        return new hvr::TraderHVR();
    } catch (...) {
        return nullptr;  // never let an exception cross into a C caller
    }
}

extern "C" __attribute__((visibility("default"))) void deleteTrader(kra::ITraderApi*& trader) {
    hvr::TraderHVR::destroy(trader);
}
