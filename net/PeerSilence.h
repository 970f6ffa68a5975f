// PeerSilence: decides when a quiet server counts as dead. Pure: the caller
// passes the time (monotonic) and runs the timer.
//
// A server is judged only once it has shown that it sends heartbeats on the
// connection: from then on, `limit` without a single received byte means it
// is gone. A server that never sends heartbeats is never judged, so a quiet
// but healthy one is not cut.
//
// Thread safety: one thread (the trader's network thread).
#pragma once

#include <chrono>

namespace hvr {

class PeerSilence {
public:
    using Clock = std::chrono::steady_clock;

    // Starts watching a new connection, established at `now`. A limit of
    // zero or less turns the watch off.
    void start(Clock::duration newLimit, Clock::time_point now) {
        limit = newLimit;
        lastHeard = now;
        heardHeartbeat = false;
    }
    bool enabled() const { return limit > Clock::duration::zero(); }

    void bytesReceived(Clock::time_point now) { lastHeard = now; }
    void heartbeatReceived() { heardHeartbeat = true; }

    // True when the server has gone quiet for the whole limit after showing
    // it sends heartbeats.
    bool expired(Clock::time_point now) const {
        return enabled() && heardHeartbeat && now - lastHeard >= limit;
    }
    // When to look again: the moment the limit would run out if nothing
    // arrives meanwhile.
    Clock::time_point nextCheck(Clock::time_point now) const {
        const Clock::time_point due = lastHeard + limit;
        return due > now ? due : now + limit;
    }

private:
    Clock::duration limit{};
    Clock::time_point lastHeard{};
    bool heardHeartbeat = false;
};

}  // namespace hvr
