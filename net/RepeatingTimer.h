// basic_repeating_timer: runs a handler again and again at a fixed interval on
// one io_context until it is restarted or cancelled.
//
// - start(interval, handler) replaces whatever the timer did before: the old
//   handler is dropped before its wait is cancelled, so it is never called
//   again, and the new period counts from the call.
// - The next expiry is counted from the moment the handler has returned, so
//   the period is the interval plus the handler's run time.
// - cancel() may run on any thread. A cancel from another thread while the
//   handler runs waits until the handler has returned.
// - The timer runs on the monotonic clock (an Asio steady_timer): a step of
//   the wall clock (an NTP step, a resumed virtual machine) neither stops it
//   nor fires it early.
// - The handler runs on the thread running the io_context. It must not call
//   start() or cancel() of its own timer while another thread may cancel it
//   (the two locks would be taken in opposite orders).
//
// Lifetime: each pending wait holds its internal_timer alive; the handler is
// held by the basic_repeating_timer only, so a wait that completes after a
// restart or cancel finds no handler and stops there.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

namespace hvr {

class handler_base {
public:
    virtual ~handler_base() = default;
    virtual void operator()(const boost::system::error_code& error) = 0;
};

template <typename Handler>
class handler_impl : public handler_base {
public:
    explicit handler_impl(Handler h) : handler(std::move(h)) {}
    void operator()(const boost::system::error_code& error) override { handler(error); }

private:
    Handler handler;
};

class internal_timer : public std::enable_shared_from_this<internal_timer> {
public:
    explicit internal_timer(boost::asio::io_context& io) : timer(io) {}

    void start(std::chrono::steady_clock::duration period, std::weak_ptr<handler_base> h) {
        std::lock_guard<std::recursive_mutex> guard(lock);
        interval = period;
        handler = std::move(h);
        wait();
    }

    void cancel() {
        std::lock_guard<std::recursive_mutex> guard(lock);
        boost::system::error_code ignored;
        timer.cancel(ignored);
    }

private:
    void wait() {
        timer.expires_after(interval);
        auto self = shared_from_this();
        timer.async_wait([self](const boost::system::error_code& error) { self->onTimeout(error); });
    }

    void onTimeout(const boost::system::error_code& error) {
        std::lock_guard<std::recursive_mutex> guard(lock);
        std::shared_ptr<handler_base> h = handler.lock();
        if (!h) return;
        try {
            (*h)(error);
        } catch (const std::exception&) {
            // A failing handler does not stop the timer.
        }
        if (!error) wait();
    }

    boost::asio::steady_timer timer;
    std::recursive_mutex lock;
    std::chrono::steady_clock::duration interval{};
    std::weak_ptr<handler_base> handler;
};

class basic_repeating_timer {
public:
    explicit basic_repeating_timer(boost::asio::io_context& io) : ioContext(io) {}
    ~basic_repeating_timer() { cancel(); }

    basic_repeating_timer(const basic_repeating_timer&) = delete;
    basic_repeating_timer& operator=(const basic_repeating_timer&) = delete;

    template <typename Handler>
    void start(std::chrono::steady_clock::duration interval, Handler h) {
        std::lock_guard<std::recursive_mutex> guard(lock);
        dropCurrent();
        currentHandler = std::make_shared<handler_impl<Handler>>(std::move(h));
        currentTimer = std::make_shared<internal_timer>(ioContext);
        currentTimer->start(interval, currentHandler);
    }

    void cancel() {
        std::lock_guard<std::recursive_mutex> guard(lock);
        dropCurrent();
    }

private:
    // Drops the handler first, so that the cancelled wait finds none.
    void dropCurrent() {
        currentHandler.reset();
        if (currentTimer) {
            currentTimer->cancel();
            currentTimer.reset();
        }
    }

    boost::asio::io_context& ioContext;
    std::recursive_mutex lock;
    std::shared_ptr<internal_timer> currentTimer;
    std::shared_ptr<handler_base> currentHandler;
};

}  // namespace hvr
