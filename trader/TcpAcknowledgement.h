// What the kernel still holds of a connected TCP socket's outgoing bytes:
// those the server's side has not acknowledged yet. Bytes it acknowledged
// are in the server's kernel, and reach the server even when our side of the
// connection is reset afterwards; bytes it has not are lost with a reset.
//
// Thread safety: any thread, on a descriptor that stays open meanwhile.
#pragma once

#include <cstdint>
#include <optional>

namespace hvr {

// Bytes written to the socket and not yet acknowledged (sent or not); none
// when the socket cannot say.
std::optional<uint64_t> unacknowledgedBytes(int fd);
// Bytes written on the connection that the peer has acknowledged since it
// was made (the SYN not counted); none when the kernel does not say.
std::optional<uint64_t> acknowledgedBytes(int fd);

}  // namespace hvr
