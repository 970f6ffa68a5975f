// A mutex, its scoped holder and a condition variable that Clang's
// thread-safety analysis understands (the standard ones carry no
// annotations in libstdc++). Thin wrappers over <mutex>.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "port/ThreadAnnotations.h"

namespace hvr {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mu.lock(); }
    void unlock() RELEASE() { mu.unlock(); }

private:
    friend class CondVar;
    std::mutex mu;
};

// Holds a Mutex for the life of the scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex* m) ACQUIRE(m) : mu(m) { mu->lock(); }
    ~MutexLock() RELEASE() { mu->unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex* const mu;
};

// A condition variable. Each wait names the Mutex it is made under, so the
// analysis checks that the caller holds it; the wait releases it while it
// sleeps and holds it again when it returns. Callers re-check their condition
// (wake-ups may be spurious). Every wait on one CondVar uses the same Mutex.
class CondVar {
public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void wait(Mutex* mu) REQUIRES(mu) {
        std::unique_lock<std::mutex> lock(mu->mu, std::adopt_lock);
        cv.wait(lock);
        lock.release();
    }
    // Returns false when the time ran out.
    bool waitFor(Mutex* mu, std::chrono::nanoseconds limit) REQUIRES(mu) {
        std::unique_lock<std::mutex> lock(mu->mu, std::adopt_lock);
        const bool signalled = cv.wait_for(lock, limit) == std::cv_status::no_timeout;
        lock.release();
        return signalled;
    }
    void signalAll() { cv.notify_all(); }

private:
    std::condition_variable cv;
};

}  // namespace hvr
