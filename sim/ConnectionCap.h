// The number of clients the server lets in at once: what --max-connections
// asks for, but never so many that the clients' sockets could use up the
// process's file descriptors (RLIMIT_NOFILE). SERVER_DESCRIPTORS stay for
// the server itself: standard streams, the event loop, the listening
// socket, the database and its journal files, the lock file, the log file,
// the descriptor reserve, and one for accepting a connection only to close
// it. Running out would make accept fail for every waiting client, and the
// error path would then run with no descriptor left. Pure.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace hvr::sim {

constexpr std::size_t SERVER_DESCRIPTORS = 32;

// asked: --max-connections; descriptorLimit: the soft RLIMIT_NOFILE.
inline std::size_t connectionCap(std::size_t asked, uint64_t descriptorLimit) {
    const uint64_t room = descriptorLimit > SERVER_DESCRIPTORS + 1 ? descriptorLimit - SERVER_DESCRIPTORS : 1;
    return static_cast<std::size_t>(std::min<uint64_t>(asked, room));
}

}  // namespace hvr::sim
