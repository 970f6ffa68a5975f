// QueueFullLine: when the line about a full send queue is due, and how many
// refused requests it counts. Pure: the caller passes the time (monotonic).
//
// The first refusal is logged at once. Later ones are counted, and the first
// that comes a second or more after the last line is logged with every
// refusal since that line, itself included.
//
// Thread safety: none of its own; the trader calls it under sendLock.
#pragma once

#include <chrono>

namespace hvr {

class QueueFullLine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration INTERVAL = std::chrono::seconds(1);

    // One request refused at `now`: the count the line reports, or 0 when no
    // line is due yet.
    int refused(Clock::time_point now) {
        ++sinceLine;
        if (now < nextLine) return 0;
        nextLine = now + INTERVAL;
        const int count = sinceLine;
        sinceLine = 0;
        return count;
    }

private:
    int sinceLine = 0;
    Clock::time_point nextLine{};
};

}  // namespace hvr
