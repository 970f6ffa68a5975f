// The kernel's own TCP_INFO layout (linux/tcp.h): the C library's copy lacks
// the acknowledged-bytes count. Kept apart from netinet/tcp.h, which defines
// the same names.
#include "trader/TcpAcknowledgement.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

namespace hvr {

std::optional<uint64_t> unacknowledgedBytes(int fd) {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
    return static_cast<uint64_t>(queued);
}

std::optional<uint64_t> acknowledgedBytes(int fd) {
    struct tcp_info info {};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
    // Older kernels fill in less.
    if (size < offsetof(struct tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return std::nullopt;
    // The count starts with the acknowledgement of our SYN, which takes one
    // sequence number and is no byte of ours.
    return info.tcpi_bytes_acked > 0 ? static_cast<uint64_t>(info.tcpi_bytes_acked) - 1 : 0;
}

}  // namespace hvr
