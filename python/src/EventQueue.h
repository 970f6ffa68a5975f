// The events of one Trader for its readers (common/EventLog.h says what each
// reader sees): the stream behind Trader.events() and next_event(), and the
// waiters behind wait_for() and await_for(), any number of them, on any
// threads. Unbounded: a host that never reads the stream keeps every event it
// did not wait for (a host that only uses callbacks turns queueing off).
//
// Threads: every operation from any thread. The lock is held only to move
// events in or out, never while waiting for Python or calling it. Knows
// nothing of Python: the caller waits in short slices and checks for signals
// between them.
//
// An asyncio loop cannot wait on the condition variable, so the queue also
// has a wake descriptor (an eventfd): it turns readable whenever an event is
// pushed or the queue closes, and stays so until drained. An asyncio reader
// drains it, reads without waiting, then waits for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "common/EventLog.h"
#include "python/src/EventRecords.h"

namespace hvr::python {

class EventQueue {
public:
    using Seq = tools::EventLog<Event>::Seq;
    using WaiterId = tools::EventLog<Event>::WaiterId;

    // Throws std::system_error when no eventfd can be made.
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Appends an event and wakes every reader. Ignored once closed.
    void push(Event event);

    // The stream's next event, waiting at most `wait` for one. Empty when
    // none came in time, or at once when the queue is closed and drained.
    std::optional<Event> waitPop(std::chrono::milliseconds wait);

    // A waiter: startWaiter, then waitNext until it finds its event (take it)
    // or gives up, then endWaiter.
    WaiterId startWaiter();
    // The next event the waiter has not looked at, waiting at most `wait`;
    // empty when none came in time, or at once when closed and looked through.
    std::optional<std::pair<Seq, Event>> waitNext(WaiterId waiter, std::chrono::milliseconds wait);
    void take(Seq seq);
    void endWaiter(WaiterId waiter);

    // No event is accepted after this; readers get what is left, then nothing
    // without waiting. Idempotent.
    void close();
    bool isClosed() const;
    // Events nobody has taken yet.
    std::size_t size() const;

    // The wake descriptor (non-blocking, close-on-exec), owned by the queue.
    int wakeDescriptor() const { return wakeFd; }
    // Empties the wake descriptor, so it waits for the next push or close.
    void drainWake();

private:
    mutable std::mutex lock;
    std::condition_variable arrived;
    tools::EventLog<Event> log;  // guarded by lock
    bool closed = false;         // guarded by lock
    const int wakeFd;
};

}  // namespace hvr::python
