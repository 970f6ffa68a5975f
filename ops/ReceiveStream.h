// The receive loop: bytes as the socket delivers them in, dispatched packets
// out. Complete packets are cut out of the received bytes where they lie and
// handed to the dispatcher; only a packet that is not complete yet is copied
// aside until the rest arrives. Pure: no socket, no thread. The trader runs it
// on its network thread after every receive, and the fuzzer runs it over
// arbitrary streams.
//
// Limits: the bytes held over plus the bytes received must stay below
// MAX_PACKET_SIZE, and every header must carry the magic and a length from 16
// up to (not including) MAX_PACKET_SIZE. A failed pass empties the stream;
// packets dispatched before the failure keep their effects.
//
// Thread safety: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/Framing.h"
#include "ops/Dispatcher.h"

namespace hvr {

class ReceiveStream {
public:
    // Frames data after whatever is held over from earlier receives and
    // dispatches every complete packet to handler, in order. Anything but
    // Ok means the stream is broken: the connection must be dropped.
    FramingStatus consume(const uint8_t* data, std::size_t size, PacketHandler& handler);

    // Drops a held-over partial packet (a new connection starts a new stream)
    // and gives back memory one large answer left behind.
    void reset();

    // Bytes held over: less than a header, or one incomplete packet.
    const std::string& heldOver() const { return pending; }

private:
    // Completes the packet that started in an earlier receive with the first
    // bytes of data and dispatches it. Sets *used to the bytes of data taken.
    FramingStatus completePending(const uint8_t* data, std::size_t size, std::size_t* used, PacketHandler& handler);
    bool dispatch(const uint8_t* packet, const PacketHeader& header, PacketHandler& handler);
    void trimAfterPass();

    std::string pending;
    DispatchScratch scratch;
};

}  // namespace hvr
