// PeerSilence: decides when a quiet server counts as dead. Pure: the caller
// passes the time (monotonic) and runs the timer.
//
// A server is judged only once it has shown that it sends heartbeats of its
// own on the connection: from then on, `limit` without a single received
// byte means it is gone. A server that never sends heartbeats is never
// judged, so a quiet but healthy one is not cut. Nor is one that only echoes
// ours: a heartbeat received counts as the server's own only when more have
// arrived than we sent, every one of ours being taken as answered by the
// next one received (a server that sends its own and echoes ours is found
// out once its own have outnumbered ours by one).
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
        unansweredSent = 0;
    }
    bool enabled() const { return limit > Clock::duration::zero(); }

    void bytesReceived(Clock::time_point now) { lastHeard = now; }
    // A heartbeat of ours went out; the next one received may be its echo.
    void heartbeatSent() { ++unansweredSent; }
    void heartbeatReceived() {
        if (unansweredSent > 0) {
            --unansweredSent;
            return;
        }
        heardHeartbeat = true;
    }

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
    bool heardHeartbeat = false;  // a heartbeat of the server's own
    long unansweredSent = 0;      // ours not yet matched by one received
};

}  // namespace hvr
