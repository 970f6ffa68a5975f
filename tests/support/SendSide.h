// The sending side of a TCP socket as the kernel sees it, for tests that need
// a write of the trader to stay in flight with nothing of it sent, however
// busy the machine is.
//
// While bytes are on their way, an acknowledgement or a window update may
// still make room in the send queue, later on a loaded machine. Once nothing
// sent waits for its acknowledgement and the peer advertises a zero window
// with bytes left unsent (sealed), none is on its way: until the peer reads,
// the kernel takes nothing more and sends nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace hvr::test {

struct SendSide {
    uint32_t queued = 0;          // bytes in the send queue: unsent, or sent and unacknowledged
    uint32_t unsent = 0;          // of those, not sent yet
    uint32_t peerWindow = 0;      // bytes the peer last said it would take
    uint32_t unacknowledged = 0;  // segments sent and not acknowledged

    // Nothing on its way that could change the queue but the peer's reading
    // or a new write.
    bool settled() const { return unacknowledged == 0 && (unsent == 0 || peerWindow == 0); }
    bool sealed() const { return unacknowledged == 0 && unsent > 0 && peerWindow == 0; }
};

// None when fd is not a TCP socket, or the kernel is too old to report the
// peer's window.
std::optional<SendSide> sendSideOf(int fd);

// Places requests one at a time, each once the send queue of fd has settled,
// until one leaves a sealed queue as it was: the kernel refused it whole, so
// the sender holds it as a write of which nothing was sent, and that write
// cannot move until the peer reads. The peer must not read meanwhile. Returns
// how many were placed (the refused one included), or none when `limit` were
// placed without that, or the queue could not be read or did not settle
// within `patience`.
std::optional<int> fillUntilRefusedWhileSealed(int fd, const std::function<void()>& place, int limit,
                                               std::chrono::milliseconds patience = std::chrono::seconds(10));

}  // namespace hvr::test
