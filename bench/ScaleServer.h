// The server of the scale figures: many connections on one epoll loop, in a
// process of its own (forked from the benchmark), so that its descriptors,
// memory and threads are not counted against the traders. It answers a login
// with an accepted login, an order with a canned accepted answer carrying the
// request's number, and, when asked to, pushes every logged-in connection an
// order update at a fixed period, the connections' pushes spread evenly over
// the period.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace hvr::bench {

class ScaleServer {
public:
    // pushPeriod zero: no pushes. The server runs until destroyed (or until
    // limit passes).
    ScaleServer(std::chrono::milliseconds pushPeriod, std::chrono::seconds limit);
    ~ScaleServer();
    ScaleServer(const ScaleServer&) = delete;
    ScaleServer& operator=(const ScaleServer&) = delete;

    uint16_t port() const { return boundPort; }

private:
    uint16_t boundPort = 0;
    pid_t child = -1;
};

// The packets the scale figures exchange, as a server sends them.
std::string scaleLoginAnswer();

}  // namespace hvr::bench
