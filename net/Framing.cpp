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

}  // namespace hvr
