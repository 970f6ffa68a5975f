// A connected client as the Desk sees it: somewhere to queue outgoing
// packets, and a name for log lines. Session implements it. Called on the
// server's network thread only.
#pragma once

#include <string>

namespace hvr::sim {

class DeskClient {
public:
    // Queues one whole encoded packet behind those already queued.
    virtual void sendPacket(std::string packet) = 0;
    // "127.0.0.1:40522", for log lines.
    virtual const std::string& peerName() const = 0;

protected:
    ~DeskClient() = default;
};

}  // namespace hvr::sim
