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

// Cuts the complete packets out of [data, data + size), in order, calling
// dispatch(const uint8_t* packet, const PacketHeader& header) -> bool for
// each with a pointer into data. Stops before an incomplete packet and sets
// *consumed to the bytes of the packets dispatched; on a failure *consumed is
// what was dispatched before it. Fewer than PACKET_HEADER_SIZE bytes left are
// never examined. Does not check the total size (the caller knows what else it
// holds).
template <typename Dispatch>
FramingStatus frameBytes(const uint8_t* data, std::size_t size, std::size_t* consumed, Dispatch&& dispatch) {
    const uint8_t* cursor = data;
    std::size_t remaining = size;
    FramingStatus status = FramingStatus::Ok;
    while (remaining >= PACKET_HEADER_SIZE) {
        const PacketHeader header = decodeHeader(cursor);
        if (header.magic != PACKET_MAGIC || header.packetLength < PACKET_HEADER_SIZE) {
            status = FramingStatus::BadHeader;
        } else if (header.packetLength >= MAX_PACKET_SIZE) {
            status = FramingStatus::PacketTooLarge;
        } else if (header.packetLength > remaining) {
            break;  // incomplete: wait for more bytes
        } else if (!dispatch(cursor, header)) {
            status = FramingStatus::DispatchRejected;
        }
        if (status != FramingStatus::Ok) break;
        cursor += header.packetLength;
        remaining -= header.packetLength;
    }
    *consumed = size - remaining;
    return status;
}

// One framing pass over buffer: frameBytes over its whole content, after the
// check that the buffer holds less than MAX_PACKET_SIZE bytes. Consumed bytes
// are erased once, at the end of the pass. On any failure the buffer is
// emptied; packets dispatched before the failure keep their effects.
// dispatch must not change buffer.
template <typename Dispatch>
FramingStatus processFrames(std::string& buffer, Dispatch&& dispatch) {
    if (buffer.size() >= MAX_PACKET_SIZE) {
        buffer.clear();
        return FramingStatus::BufferTooLarge;
    }
    std::size_t consumed = 0;
    const FramingStatus status =
        frameBytes(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(), &consumed, dispatch);
    if (status != FramingStatus::Ok) {
        buffer.clear();
    } else {
        buffer.erase(0, consumed);
    }
    return status;
}

// Calls requestEnd(end) for every host request in a run of outgoing packets
// laid back to back (a send queue or a batch), heartbeats and logouts left
// out, in order: end is the offset just past the request.
template <typename RequestEnd>
void forEachRequest(const std::string& packets, RequestEnd&& requestEnd) {
    std::size_t offset = 0;
    while (packets.size() - offset >= PACKET_HEADER_SIZE) {
        const PacketHeader header = decodeHeader(reinterpret_cast<const uint8_t*>(packets.data()) + offset);
        if (header.packetLength < PACKET_HEADER_SIZE) break;  // never queued; guards the walk
        offset += header.packetLength;
        if (header.functionCode == FC_HEART_BEAT || header.functionCode == FC_CMD_LOGOUT) continue;
        requestEnd(offset);
    }
}

// The host requests in a run of outgoing packets (as forEachRequest): how
// many there are, and how many lie wholly within its first `sent` bytes
// (those may have reached the server when a send fails part way).
struct RequestCount {
    int total = 0;
    int sentWhole = 0;
};
RequestCount countRequests(const std::string& packets, std::size_t sent = 0);

}  // namespace hvr
