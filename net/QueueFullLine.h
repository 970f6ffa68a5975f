// QueueFullLine: when the line about a full send queue is due, and how many
// refused requests it counts. Pure: the caller passes the time (monotonic).
//
// The first refusal is logged at once. Later ones are counted, and the first
// that comes a second or more after the last line is logged with every
// refusal since that line, itself included. What no line has counted yet is
// taken by the caller when refusals can have ended (the queue drained, the
// trader is released), so that the lines add up to every refusal.
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

    // The refusals since the last line, for a line of their own now (0:
    // none); the next refusal's line is then due a second later at the
    // earliest.
    int takeUncounted(Clock::time_point now) {
        const int count = sinceLine;
        if (count == 0) return 0;
        sinceLine = 0;
        nextLine = now + INTERVAL;
        return count;
    }
    bool hasUncounted() const { return sinceLine > 0; }

private:
    int sinceLine = 0;
    Clock::time_point nextLine{};
};

}  // namespace hvr
