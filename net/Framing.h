// The framing pass: cuts complete packets out of the bytes received so far.
// Pure: no socket, no thread, no listener. The trader's receive path runs it
// on its network thread after every receive.
#pragma once

#include <cstdint>
#include <string>

#include "WireFormat.h"

namespace hvr {

enum class FramingStatus {
    Ok,                // every complete packet dispatched; an incomplete tail kept
    BufferTooLarge,    // the buffer held MAX_PACKET_SIZE bytes or more
    BadHeader,         // wrong magic, or a packetLength below the header size
    PacketTooLarge,    // a header announced MAX_PACKET_SIZE bytes or more
    DispatchRejected,  // the dispatcher refused a packet
};

// The log line for a failed pass, or null when the failure logs nothing.
const char* framingFailureLogLine(FramingStatus status);

// One framing pass over buffer. For each complete packet, in order, calls
// dispatch(const uint8_t* packet, const PacketHeader& header) -> bool with a
// pointer into buffer that is valid only during the call; dispatch must not
// change buffer. Consumed bytes are erased once, at the end of the pass. On
// any failure the buffer is emptied; packets dispatched before the failure
// keep their effects. Fewer than PACKET_HEADER_SIZE buffered bytes are never
// examined.
template <typename Dispatch>
FramingStatus processFrames(std::string& buffer, Dispatch&& dispatch) {
    const std::size_t total = buffer.size();
    if (total >= MAX_PACKET_SIZE) {
        buffer.clear();
        return FramingStatus::BufferTooLarge;
    }
    const uint8_t* cursor = reinterpret_cast<const uint8_t*>(buffer.data());
    std::size_t remaining = total;
    while (remaining >= PACKET_HEADER_SIZE) {
        const PacketHeader header = decodeHeader(cursor);
        FramingStatus failure = FramingStatus::Ok;
        if (header.magic != PACKET_MAGIC || header.packetLength < PACKET_HEADER_SIZE) {
            failure = FramingStatus::BadHeader;
        } else if (header.packetLength >= MAX_PACKET_SIZE) {
            failure = FramingStatus::PacketTooLarge;
        } else if (header.packetLength > remaining) {
            break;  // incomplete: wait for more bytes
        } else if (!dispatch(cursor, header)) {
            failure = FramingStatus::DispatchRejected;
        }
        if (failure != FramingStatus::Ok) {
            buffer.clear();
            return failure;
        }
        cursor += header.packetLength;
        remaining -= header.packetLength;
    }
    buffer.erase(0, total - remaining);
    return FramingStatus::Ok;
}

}  // namespace hvr
