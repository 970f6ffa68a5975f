// A fault the server plays on one connection (--connection-faults): the
// first connections it accepts get the listed faults, one each, in order;
// later ones are served normally. With --small-socket-buffers the listening
// socket's receive buffer and segment size are small, so that a client's
// writes back up after a few tens of KiB the server has not read.
//   stall:MS     read nothing for MS milliseconds, then read and discard
//                everything (no answers: a client that closed meanwhile is
//                not reset by one, so all it had written still arrives)
//   trickle:N    read one byte at a time; after N bytes close with a reset,
//                discarding whatever has not been read
//   reset:MS     read nothing; MS milliseconds after the accept close with a
//                reset, discarding everything the client sent
// Held faults wait for a trigger instead of a time: the connection reads
// nothing (and never times out) until the simulator is told to let it go
// (SIGUSR2, see Server::letGoNextHeld), however long that takes, so a client
// can fill its buffers first at any speed:
//   hold            then read and discard everything, as a stall does
//   hold-trickle:N  then trickle:N
//   hold-reset      then close with a reset at once
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hvr::sim {

struct ConnectionFault {
    enum class Kind { None, Stall, Trickle, Reset };
    Kind kind = Kind::None;
    uint64_t amount = 0;  // Stall, Reset: milliseconds (0 when held); Trickle: bytes
    bool held = false;    // nothing happens until the connection is let go
};

// "stall:MS,trickle:N,reset:MS,hold,hold-trickle:N,hold-reset" (any number,
// any order); none when malformed or an amount is 0.
std::optional<std::vector<ConnectionFault>> parseConnectionFaults(const std::string& text);

// "none", or the fault as written on the command line.
std::string describeFault(const ConnectionFault& fault);

// The receive buffer and segment size --small-socket-buffers sets: the
// smallest buffer the system allows, and a segment whose data part is 512
// bytes once the timestamp option is taken off, so that the 16-byte packets
// of a stream of queries fill a client's buffer to a packet boundary.
constexpr int SMALL_RECEIVE_BUFFER = 1;
constexpr int SMALL_MAX_SEGMENT = 524;

}  // namespace hvr::sim
