// The network thread as Clang's thread-safety analysis sees it.
//
// `networkThread` is a capability. A member marked GUARDED_BY(networkThread)
// may be touched, and a function marked REQUIRES(networkThread) called, only
// by code that holds it, which code gets in one of two ways:
//   - an entry point the event loop calls (a completion handler, a posted
//     step) says so first, with NetworkThread::assertCurrent();
//   - a thread that runs the loop, or plays its part while no loop runs (the
//     tools' feedReceivedForTools), holds a NetworkThread::Scope.
// A slip (a host-thread function touching the socket, say) fails the build.
//
// The capability is one for the whole build, not one per trader: the analysis
// does not follow references, so the trader, its link and its send queue
// could not name one trader's capability alike. Which thread plays the part
// for a given trader is that trader's NetworkThread: assertCurrent() checks
// it at run time in builds with assertions (the sanitizer builds and the soak
// run them).
//
// A NetworkThread does not own the thread it names: the trader's own thread
// enters it for as long as it runs the trader's event loop (a Scope); in the
// shared mode a thread of the network pool (NetworkPool.h) plays the part for
// every trader bound to it, from bind to unbind.
//
// A pool thread runs many traders' handlers. Each handler opens with
// assertCurrent(), which also notes, for that thread, the first trader whose
// handler it entered since the last handlerDone(): an exception that escapes
// the handler is reported to that trader (reportEscaped), as the trader's own
// thread reports one that escapes its loop.
//
// Thread safety: isCurrent() and assertCurrent() from any thread; a Scope is
// held by the thread it names; bind and unbind by the facade while no thread
// runs the trader's handlers; handlerDone and reportEscaped on a pool thread.
#pragma once

#include <atomic>
#include <cassert>
#include <functional>
#include <thread>

#include "port/ThreadAnnotations.h"

namespace hvr {

// The capability itself: no state.
struct CAPABILITY("thread") NetworkThreadRole {};
inline constexpr NetworkThreadRole networkThread{};

class NetworkThread {
public:
    NetworkThread() = default;
    NetworkThread(const NetworkThread&) = delete;
    NetworkThread& operator=(const NetworkThread&) = delete;

    // Whether the calling thread plays the part now.
    bool isCurrent() const { return current.load() == std::this_thread::get_id(); }
    // Tells the analysis that the calling thread is the network thread; the
    // entry points of the event loop open with it.
    void assertCurrent() const ASSERT_CAPABILITY(networkThread) {
        assert(isCurrent());
        if (entered == nullptr) entered = this;
    }

    // The shared mode: the pool thread `id` plays the part until unbind;
    // escaped reports what escaped one of the trader's handlers there.
    // REQUIRES: no other thread plays it meanwhile.
    void bind(std::thread::id id, std::function<void(const char* what)> escaped) {
        assert(current.load() == std::thread::id());
        escapedReport = std::move(escaped);
        current.store(id);
    }
    void unbind() { current.store(std::thread::id()); }

    // A pool thread, after each handler it ran.
    static void handlerDone() { entered = nullptr; }
    // A pool thread, after a handler threw: tells the trader whose handler it
    // was (nothing when no trader's handler had begun).
    static void reportEscaped(const char* what) {
        const NetworkThread* thrower = entered;
        entered = nullptr;
        if (thrower != nullptr && thrower->escapedReport) thrower->escapedReport(what);
    }

    // The calling thread plays the part for the life of the scope.
    // REQUIRES: no other thread plays it meanwhile.
    class SCOPED_CAPABILITY Scope {
    public:
        explicit Scope(NetworkThread& thread) ACQUIRE(networkThread) : thread(thread) {
            assert(thread.current.load() == std::thread::id());
            thread.current.store(std::this_thread::get_id());
        }
        ~Scope() RELEASE() { thread.current.store(std::thread::id()); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        NetworkThread& thread;
    };

private:
    std::atomic<std::thread::id> current{std::thread::id()};
    std::function<void(const char* what)> escapedReport;  // set by bind
    // The first trader whose handler this thread entered since handlerDone.
    static inline thread_local const NetworkThread* entered = nullptr;
};

}  // namespace hvr
