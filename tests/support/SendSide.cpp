#include "SendSide.h"

// The kernel's own tcp_info (the C library's lacks the peer's window); it
// must not meet <netinet/tcp.h> in one translation unit.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>
#include <thread>

namespace hvr::test {

namespace {

// The send queue once it has settled; none when it cannot be read or does
// not settle by the deadline.
std::optional<SendSide> settledSendSide(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const std::optional<SendSide> side = sendSideOf(fd);
        if (!side || side->settled()) return side;
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

std::optional<SendSide> sendSideOf(int fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    int queued = 0;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd || ::ioctl(fd, SIOCOUTQ, &queued) != 0 ||
        queued < 0)
        return std::nullopt;
    SendSide side;
    side.queued = static_cast<uint32_t>(queued);
    side.unsent = info.tcpi_notsent_bytes;
    side.peerWindow = info.tcpi_snd_wnd;
    side.unacknowledged = info.tcpi_unacked;
    return side;
}

std::optional<int> fillUntilRefusedWhileSealed(int fd, const std::function<void()>& place, int limit,
                                               std::chrono::milliseconds patience) {
    for (int placed = 0; placed < limit;) {
        const std::optional<SendSide> before = settledSendSide(fd, std::chrono::steady_clock::now() + patience);
        if (!before) return std::nullopt;
        place();
        ++placed;
        if (!before->sealed()) continue;
        // Sealed, nothing could leave the queue: a request the kernel took
        // would show in it.
        const std::optional<SendSide> after = sendSideOf(fd);
        if (!after) return std::nullopt;
        if (after->queued == before->queued) return placed;
    }
    return std::nullopt;
}

}  // namespace hvr::test
