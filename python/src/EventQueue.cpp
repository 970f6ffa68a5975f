#include "python/src/EventQueue.h"

namespace hvr::python {

void EventQueue::push(Event event) {
    {
        std::lock_guard<std::mutex> hold(lock);
        if (closed) return;
        events.push_back(std::move(event));
    }
    arrived.notify_one();
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
