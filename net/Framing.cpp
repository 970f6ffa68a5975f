#include "Framing.h"

#include "texts/LogText.h"

namespace hvr {

const char* framingFailureLogLine(FramingStatus status) {
    switch (status) {
        case FramingStatus::BufferTooLarge:
        case FramingStatus::PacketTooLarge:
            return LOG_PACKET_TOO_LARGE;
        case FramingStatus::BadHeader:
            return LOG_BAD_HEADER;
        case FramingStatus::Ok:
        case FramingStatus::DispatchRejected:
            break;
    }
    return nullptr;
}

RequestCount countRequests(const std::string& packets, std::size_t sent) {
    RequestCount count;
    std::size_t offset = 0;
    while (packets.size() - offset >= PACKET_HEADER_SIZE) {
        const PacketHeader header = decodeHeader(reinterpret_cast<const uint8_t*>(packets.data()) + offset);
        if (header.packetLength < PACKET_HEADER_SIZE) break;  // never queued; guards the walk
        offset += header.packetLength;
        if (header.functionCode == FC_HEART_BEAT || header.functionCode == FC_CMD_LOGOUT) continue;
        ++count.total;
        if (offset <= sent) ++count.sentWhole;
    }
    return count;
}

}  // namespace hvr
