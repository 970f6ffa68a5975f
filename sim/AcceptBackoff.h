// How long the acceptor waits before it tries again after a failed accept.
// A failure that lasts (no file descriptors left, no memory for a socket)
// would otherwise be retried at once, in a loop that takes a whole core and
// keeps the failing connections waiting longer. The wait starts at
// FIRST_WAIT, doubles with every further failure up to LONGEST_WAIT, and
// starts over after a successful accept. Pure.
#pragma once

#include <algorithm>
#include <chrono>

namespace hvr::sim {

class AcceptBackoff {
public:
    static constexpr std::chrono::milliseconds FIRST_WAIT{100};
    static constexpr std::chrono::milliseconds LONGEST_WAIT{1000};

    // The wait before the next attempt, after one more failure.
    std::chrono::milliseconds afterFailure() {
        const std::chrono::milliseconds wait = next_;
        next_ = std::min(next_ * 2, LONGEST_WAIT);
        return wait;
    }

    void afterSuccess() { next_ = FIRST_WAIT; }

private:
    std::chrono::milliseconds next_ = FIRST_WAIT;
};

}  // namespace hvr::sim
