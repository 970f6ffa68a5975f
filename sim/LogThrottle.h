// Rate limit for a log line that a fault may repeat many times a second
// (a failing accept, refused connections): the first occurrence is logged,
// the ones within the next interval are only counted, and the first one
// after the interval is logged together with how many were left out. Pure:
// the caller passes the time in.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace hvr::sim {

class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(Clock::duration interval) : interval_(interval) {}

    // One more occurrence at now. Returns the number of occurrences left out
    // since the last logged one when this one is to be logged, or nothing
    // when it is to be counted only.
    std::optional<uint64_t> admit(Clock::time_point now) {
        if (logged_ && now - lastLogged_ < interval_) {
            ++suppressed_;
            return std::nullopt;
        }
        logged_ = true;
        lastLogged_ = now;
        const uint64_t leftOut = suppressed_;
        suppressed_ = 0;
        return leftOut;
    }

private:
    Clock::duration interval_;
    Clock::time_point lastLogged_{};
    bool logged_ = false;
    uint64_t suppressed_ = 0;
};

}  // namespace hvr::sim
