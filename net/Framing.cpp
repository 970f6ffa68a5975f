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
    forEachRequest(packets, [&](std::size_t end) {
        ++count.total;
        if (end <= sent) ++count.sentWhole;
    });
    return count;
}

}  // namespace hvr
