#include "python/src/EventQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace hvr::python {

namespace {

int makeWakeDescriptor() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd for the event queue");
    return fd;
}

void wake(int fd) {
    // The counter only grows; a full counter (never reached) is readable anyway.
    (void)::eventfd_write(fd, 1);
}

}  // namespace

EventQueue::EventQueue() : wakeFd(makeWakeDescriptor()) {}

EventQueue::~EventQueue() { ::close(wakeFd); }

void EventQueue::drainWake() {
    eventfd_t ignored = 0;
    (void)::eventfd_read(wakeFd, &ignored);  // EAGAIN when already empty
}

void EventQueue::push(Event event) {
    {
        std::lock_guard<std::mutex> hold(lock);
        if (closed) return;
        log.append(std::move(event));
    }
    // Every waiter looks at every event.
    arrived.notify_all();
    wake(wakeFd);
}

std::optional<Event> EventQueue::waitPop(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(lock);
    arrived.wait_for(hold, wait, [this] { return log.hasUntaken() || closed; });
    return log.takeNext();
}

EventQueue::WaiterId EventQueue::startWaiter() {
    std::lock_guard<std::mutex> hold(lock);
    return log.startWaiter();
}

std::optional<std::pair<EventQueue::Seq, Event>> EventQueue::waitNext(WaiterId waiter, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(lock);
    arrived.wait_for(hold, wait, [&] { return log.hasNext(waiter) || closed; });
    return log.next(waiter);
}

void EventQueue::take(Seq seq) {
    std::lock_guard<std::mutex> hold(lock);
    log.take(seq);
}

void EventQueue::endWaiter(WaiterId waiter) {
    std::lock_guard<std::mutex> hold(lock);
    log.endWaiter(waiter);
}

void EventQueue::close() {
    {
        std::lock_guard<std::mutex> hold(lock);
        closed = true;
    }
    arrived.notify_all();
    wake(wakeFd);
}

bool EventQueue::isClosed() const {
    std::lock_guard<std::mutex> hold(lock);
    return closed;
}

std::size_t EventQueue::size() const {
    std::lock_guard<std::mutex> hold(lock);
    return log.untaken();
}

}  // namespace hvr::python
