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
        events.push_back(std::move(event));
    }
    arrived.notify_one();
    wake(wakeFd);
}

std::optional<Event> EventQueue::waitPop(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(lock);
    arrived.wait_for(hold, wait, [this] { return !events.empty() || closed; });
    if (events.empty()) return std::nullopt;
    Event event = std::move(events.front());
    events.pop_front();
    return event;
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
    return events.size();
}

}  // namespace hvr::python
