// EventLoop: which event loop a trader's parts post their steps to and make
// their socket and timers on. By default it is the trader's own io_context,
// run by the trader's own network thread; in the shared mode it is the
// io_context of the pool thread the trader is bound to (NetworkPool.h), which
// runs other traders' steps as well.
//
// The facade points it elsewhere only while no thread runs the trader's steps
// (before the first connect of a binding, after release), and the parts drop
// the timers they made on the previous loop in the close step (Link::close),
// so every step, socket and timer of a connection lives on the loop of the
// thread that plays the trader's network thread.
//
// Thread safety: get() and shared() from any thread; pointAt() by the facade
// under its thread lock.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>

namespace hvr {

class EventLoop {
public:
    explicit EventLoop(boost::asio::io_context& own) : current(&own) {}
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    boost::asio::io_context& get() const { return *current.load(std::memory_order_acquire); }
    // Whether other traders' steps run on the same loop: nothing of this
    // trader may then block its thread (the reconnect wait is a timer).
    bool shared() const { return isShared.load(std::memory_order_acquire); }

    // REQUIRES: no thread runs the trader's steps.
    void pointAt(boost::asio::io_context& next, bool sharedWithOthers) {
        isShared.store(sharedWithOthers, std::memory_order_release);
        current.store(&next, std::memory_order_release);
    }

private:
    std::atomic<boost::asio::io_context*> current;
    std::atomic<bool> isShared{false};
};

}  // namespace hvr
