// The queue behind Trader.events(): events copied on the listener's threads,
// read by whichever Python thread iterates. Unbounded: a reader that never
// reads keeps every event (a host that only uses callbacks turns the queue off
// in the listener instead).
//
// Threads: push and close from any thread, waitPop from any thread. The lock is
// held only to move an event in or out, never while waiting for Python or
// calling it. Knows nothing of Python: the caller waits in short slices and
// checks for signals between them.
//
// An asyncio loop cannot wait on the condition variable, so the queue also
// has a wake descriptor (an eventfd): it turns readable whenever an event is
// pushed or the queue closes, and stays so until the reader drains it. A
// reader drains it first, then pops without waiting, then waits for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "python/src/EventRecords.h"

namespace hvr::python {

class EventQueue {
public:
    // Throws std::system_error when no eventfd can be made.
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Appends an event and wakes one reader. Ignored once closed.
    void push(Event event);

    // The oldest event, waiting at most `wait` for one. Empty when none came
    // in time, or at once when the queue is closed and empty.
    std::optional<Event> waitPop(std::chrono::milliseconds wait);

    // No event is accepted after this; readers drain what is left, then get
    // nothing without waiting. Idempotent.
    void close();
    bool isClosed() const;
    std::size_t size() const;

    // The wake descriptor (non-blocking, close-on-exec), owned by the queue.
    int wakeDescriptor() const { return wakeFd; }
    // Empties the wake descriptor, so it waits for the next push or close.
    void drainWake();

private:
    mutable std::mutex lock;
    std::condition_variable arrived;
    std::deque<Event> events;  // guarded by lock
    bool closed = false;       // guarded by lock
    const int wakeFd;
};

}  // namespace hvr::python
