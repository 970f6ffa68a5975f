// The network pool (NetworkPool.h): the process's pool, its loops and their
// threads.
#include "trader/NetworkPool.h"

#include <pthread.h>

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <exception>

#include "texts/LogText.h"
#include "trader/ForkGeneration.h"
#include "trader/NetworkThread.h"

namespace hvr {

namespace {

thread_local bool poolThread = false;

// The process's pool: at most one at a time, held by the traders that use it.
struct Registry {
    std::mutex lock;
    std::weak_ptr<NetworkPool> pool;
    uint64_t generation = 0;  // the fork generation the pool was made in
};

Registry& registry() {
    static Registry* const instance = new Registry;  // never destroyed: pool threads may outlive exit handlers
    return *instance;
}

// The registry's lock is held across fork, so that a child never inherits it
// held by a thread it does not have.
void lockRegistryForFork() { registry().lock.lock(); }
void unlockRegistryAfterFork() { registry().lock.unlock(); }

}  // namespace

NetworkPool::Loop::Loop() : keepRunning(io.get_executor()) {
    // The loop's epoll descriptor and eventfd are made now, with the pool,
    // not by whichever trader's first socket or timer needs them. Out of
    // descriptors, the first socket or timer tries again.
    try {
        boost::asio::steady_timer makesTheReactor(io);
    } catch (const boost::system::system_error&) {
    }
}

NetworkPool::Loop::~Loop() {
    if (thread && thread->joinable()) thread->join();
}

void NetworkPool::Loop::run() {
    poolThread = true;
    // Named, so that a thread listing or a profile tells the pool's threads
    // from the host's.
    ::pthread_setname_np(::pthread_self(), POOL_THREAD_NAME);
    for (;;) {
        try {
            // One handler at a time, so that an exception is told to the
            // trader whose handler threw it, and to no other.
            while (io.run_one() != 0) NetworkThread::handlerDone();
            return;  // stopped: the pool is going away
        } catch (const std::exception& e) {
            NetworkThread::reportEscaped(e.what());
        } catch (...) {
            NetworkThread::reportEscaped(UNKNOWN_EXCEPTION);
        }
    }
}

void NetworkPool::Loop::stop() {
    keepRunning.reset();
    io.stop();
}

unsigned NetworkPool::defaultThreadCount() { return std::max(1u, std::thread::hardware_concurrency()); }

std::shared_ptr<NetworkPool> NetworkPool::shared(unsigned threads) {
    static std::once_flag forkHandlers;
    std::call_once(forkHandlers,
                   [] { ::pthread_atfork(lockRegistryForFork, unlockRegistryAfterFork, unlockRegistryAfterFork); });
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    const uint64_t generation = currentForkGeneration();
    if (r.generation != generation) {
        // A forked child: the parent's pool has no threads here. The copies
        // of the parent's traders still hold it; it is never stopped or
        // joined in this process (see ~NetworkPool).
        r.pool.reset();
        r.generation = generation;
    }
    if (std::shared_ptr<NetworkPool> existing = r.pool.lock()) return existing;
    auto made = std::make_shared<NetworkPool>(threads == 0 ? defaultThreadCount() : std::min(threads, MAX_THREADS));
    r.pool = made;
    return made;
}

bool NetworkPool::onPoolThread() { return poolThread; }

NetworkPool::NetworkPool(unsigned threads) : forkGeneration(currentForkGeneration()) {
    loops.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        loops.push_back(std::make_unique<Loop>());
        Loop& loop = *loops.back();
        loop.thread = std::make_unique<std::thread>([&loop] { loop.run(); });
        loop.id = loop.thread->get_id();
    }
}

NetworkPool::~NetworkPool() {
    if (currentForkGeneration() != forkGeneration) {
        // A forked child's copy: its threads are the parent's. Nothing is
        // stopped or joined, and the handles are left to the process.
        for (std::unique_ptr<Loop>& loop : loops) (void)loop->thread.release();
        for (std::unique_ptr<Loop>& loop : loops) (void)loop.release();
        return;
    }
    for (std::unique_ptr<Loop>& loop : loops) loop->stop();
    loops.clear();  // each loop joins its thread, then its event loop goes
}

NetworkPool::Loop& NetworkPool::bind() {
    std::lock_guard<std::mutex> guard(lock);
    Loop* least = loops.front().get();
    for (const std::unique_ptr<Loop>& loop : loops)
        if (loop->traders < least->traders) least = loop.get();
    ++least->traders;
    return *least;
}

void NetworkPool::unbind(Loop& loop) {
    std::lock_guard<std::mutex> guard(lock);
    --loop.traders;
}

}  // namespace hvr
