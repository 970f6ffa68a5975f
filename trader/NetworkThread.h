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
// enters it for as long as it runs the trader's event loop, and so could a
// thread that some other owner runs.
//
// Thread safety: isCurrent() and assertCurrent() from any thread; a Scope is
// held by the thread it names.
#pragma once

#include <atomic>
#include <cassert>
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
    void assertCurrent() const ASSERT_CAPABILITY(networkThread) { assert(isCurrent()); }

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
};

}  // namespace hvr
