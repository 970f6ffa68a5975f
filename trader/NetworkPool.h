// NetworkPool: the network threads the traders of a process share in the
// shared mode (init key threads=shared). A pool is a few event loops, one
// thread each; each trader that asks is bound to one of them (the one with
// the fewest traders) from its connect until its release, and that thread
// then plays the trader's network thread: it runs all of the trader's
// handlers and makes the listener calls a network thread makes.
//
// One pool per process, made by the first trader that asks for it
// (shared()), with the thread count that trader asks for (0: one per CPU);
// traders that ask later share it whatever count they ask for. Each trader
// that used it holds it until it is deleted; the last one's deletion stops
// and joins its threads.
//
// What each thread holds: its event loop's epoll descriptor and eventfd (the
// loops are built without a timerfd, port/AsioLoop.h). No descriptor per
// trader besides the trader's socket.
//
// A pool thread never waits for another trader's work: the pool's lock is
// taken on host threads only (to bind and unbind), never while a handler
// runs, and traders share nothing else. An exception that escapes a handler
// is reported to the trader whose handler it was (NetworkThread.h) and the
// loop goes on.
//
// Fork: a forked child has none of the pool's threads. Its copy of the pool
// is left to the process (never stopped or joined there); a trader the child
// makes gets a pool of its own.
//
// Thread safety: shared(), bind() and unbind() from host threads;
// onPoolThread() from any thread. The destructor runs on a host thread (a
// pool thread cannot join itself: release and deleteTrader refuse to run
// there).
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace hvr {

class NetworkPool {
public:
    // One thread of the pool and its event loop.
    class Loop {
    public:
        Loop();
        ~Loop();
        Loop(const Loop&) = delete;
        Loop& operator=(const Loop&) = delete;

        boost::asio::io_context& context() { return io; }
        std::thread::id threadId() const { return id; }

    private:
        friend class NetworkPool;
        void run();
        void stop();

        boost::asio::io_context io{1};
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> keepRunning;
        std::unique_ptr<std::thread> thread;
        std::thread::id id;
        std::size_t traders = 0;  // bound now; under the pool's lock
    };

    // The name each pool thread gives itself (as /proc/<pid>/task/*/comm
    // shows it).
    static constexpr const char* POOL_THREAD_NAME = "hvr-pool";
    // The threads a pool is made with when a trader asks for 0.
    static unsigned defaultThreadCount();
    // The largest thread count taken.
    static constexpr unsigned MAX_THREADS = 256;

    // The process's pool, made now with `threads` threads (0: one per CPU)
    // when there is none.
    static std::shared_ptr<NetworkPool> shared(unsigned threads);
    // Whether the calling thread is a thread of any pool.
    static bool onPoolThread();

    explicit NetworkPool(unsigned threads);
    ~NetworkPool();
    NetworkPool(const NetworkPool&) = delete;
    NetworkPool& operator=(const NetworkPool&) = delete;

    // Binds one trader to the loop with the fewest traders (the first of
    // them on a tie), and unbinds it.
    Loop& bind();
    void unbind(Loop& loop);

    std::size_t threadCount() const { return loops.size(); }

private:
    const uint64_t forkGeneration;  // of the process that made the pool
    std::mutex lock;                // guards each loop's trader count
    std::vector<std::unique_ptr<Loop>> loops;
};

}  // namespace hvr
