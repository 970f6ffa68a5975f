// What reached the server, one line per event, for a test that must know
// exactly which requests arrived on which connection and when (the fault
// soak). Each line goes out with one write(2) to a file opened for
// appending: it is in the kernel before the request it names is handled, so
// a kill -9 loses no line of a request the server acted on.
//
// Lines, space separated; TIME and STARTED are steady-clock nanoseconds (the
// clock every process on the machine reads as CLOCK_MONOTONIC):
//   TIME accept CONN PEER_PORT FAULT      FAULT: none, or the connection
//                                         fault it gets as written (Faults.h)
//   TIME read CONN BYTES STARTED DRAINED  a receive of BYTES, asked for at
//                                         STARTED; DRAINED 1 when nothing more
//                                         was waiting once it completed
//   TIME in CONN CODE REQUEST_NO FATE KEY one whole request packet; FATE is
//                                         handled, or discarded (past --drop-after,
//                                         after a stall or a hold);
//                                         KEY an order's user tag, a cancel's
//                                         order id, a login's resource/pushid,
//                                         else -
//   TIME close CONN WHY                   the session ended (not after kill -9)
// CONN is PID.N, unique across restarts on one machine. KEY and WHY escape
// bytes outside '!'..'~', and '%', as %XX.
//
// Threads: the server's network thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/WireFormat.h"

namespace hvr::sim {

class RequestJournal {
public:
    // Opens (creates) path for appending; throws std::runtime_error.
    explicit RequestJournal(const std::string& path);
    ~RequestJournal();
    RequestJournal(const RequestJournal&) = delete;
    RequestJournal& operator=(const RequestJournal&) = delete;

    void accepted(const std::string& conn, uint16_t peerPort, const std::string& fault);
    void received(const std::string& conn, std::size_t bytes, int64_t started, bool drained);
    void request(const std::string& conn, const PacketHeader& header, const std::string& payload, bool handled);
    void closed(const std::string& conn, const std::string& why);

    // Steady-clock nanoseconds, as the lines carry them.
    static int64_t now();

private:
    void write(const std::string& line);

    int fd_ = -1;
};

// The KEY of a request line (see above); pure, for tests.
std::string requestKey(const PacketHeader& header, const std::string& payload);

}  // namespace hvr::sim
