// Whether the trading day may be written now, and what to tell clients and
// the log about it. Healthy until a save fails; then failing: a write is
// tried again at most once per retry interval, requests in between are
// refused without trying, and the first save that works makes it healthy
// again. Every failed try gives one error line, so a lasting failure logs
// one line per interval however many requests arrive. Pure: the caller
// passes the time in. Network thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace hvr::sim {

class StoreHealth {
public:
    using Clock = std::chrono::steady_clock;

    explicit StoreHealth(Clock::duration retryInterval) : retryInterval_(retryInterval) {}

    bool failing() const { return failing_; }

    // True when a write may be tried at now: always while healthy; while
    // failing, once the retry interval has passed since the last try.
    bool mayTry(Clock::time_point now) const { return !failing_ || now - lastTry_ >= retryInterval_; }

    // A request refused without a try; the next error line counts it.
    void refusedWithoutTrying() { ++refusedSinceLine_; }

    // A save that failed at now with reason. Returns the error line to log.
    std::string failed(Clock::time_point now, const std::string& reason) {
        if (!failing_) failingSince_ = now;
        failing_ = true;
        lastTry_ = now;
        reason_ = reason;
        std::string line = "cannot save the trading day: " + reason +
                           "; logins, orders and cancels are refused until a save works again";
        if (refusedSinceLine_ > 0)
            line += " (" + std::to_string(refusedSinceLine_) + " refused without a try since the last line)";
        refusedSinceLine_ = 0;
        return line;
    }

    // A save that worked at now. Returns the line to log when it ends a
    // failure.
    std::optional<std::string> saved(Clock::time_point now) {
        if (!failing_) return std::nullopt;
        failing_ = false;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - failingSince_).count();
        std::string line = "the trading day is saved again after " + std::to_string(seconds) +
                           " s of failures; logins, orders and cancels are accepted again";
        if (refusedSinceLine_ > 0) line += " (" + std::to_string(refusedSinceLine_) + " more were refused)";
        refusedSinceLine_ = 0;
        return line;
    }

    // What a refused client is told.
    std::string refusal() const {
        return "not done: the server cannot save its trading day (" + reason_ +
               "); logins, orders and cancels are refused until it can, queries are answered";
    }

private:
    Clock::duration retryInterval_;
    bool failing_ = false;
    Clock::time_point lastTry_{};
    Clock::time_point failingSince_{};
    std::string reason_;
    uint64_t refusedSinceLine_ = 0;
};

}  // namespace hvr::sim
