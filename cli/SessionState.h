// SessionFacts under one lock, with a condition variable so that a host
// thread can wait for what the network thread reports.
//
// Threads: the listener (network thread) changes the facts through update;
// the command runner (main thread) reads them and waits in waitUntil. Every
// update wakes every waiter. The lock is never held while calling the trader.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "cli/SessionFacts.h"

namespace hvr::cli {

class SessionState {
public:
    // Runs change(facts) under the lock and wakes the waiters; returns what
    // change returns. Anything printed inside change is printed before a
    // waiter sees the change, which keeps a transcript in event order.
    template <typename Change>
    auto update(Change change) {
        struct Notify {
            std::condition_variable& signal;
            ~Notify() { signal.notify_all(); }
        } notify{changed};
        std::lock_guard<std::mutex> guard(lock);
        return change(facts);
    }

    template <typename Read>
    auto read(Read reader) const {
        std::lock_guard<std::mutex> guard(lock);
        return reader(static_cast<const SessionFacts&>(facts));
    }

    // Waits until done(facts) holds; false when the timeout passed first or
    // the state was interrupted.
    template <typename Predicate>
    bool waitUntil(Predicate done, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, timeout,
                         [&] { return interruptedFlag || done(static_cast<const SessionFacts&>(facts)); });
        return done(static_cast<const SessionFacts&>(facts));
    }

    // Ends every wait, now and later (a signal asked the host to stop).
    // Any thread.
    void interrupt() {
        {
            std::lock_guard<std::mutex> guard(lock);
            interruptedFlag = true;
        }
        changed.notify_all();
    }

    bool interrupted() const {
        std::lock_guard<std::mutex> guard(lock);
        return interruptedFlag;
    }

    // Orders and trades queries are registered with the reconciler and sent
    // as one step under this mutex, so that the reconciler's queues follow
    // the order on the wire (cli/ReconcileQueries.h). Taken before the
    // state's lock, never inside update().
    std::mutex& querySending() { return sendingQueries; }

private:
    std::mutex sendingQueries;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    SessionFacts facts;
    bool interruptedFlag = false;
};

}  // namespace hvr::cli
