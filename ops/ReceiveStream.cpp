#include "ops/ReceiveStream.h"

#include <malloc.h>

#include <algorithm>

namespace hvr {

namespace {

// A held-over buffer beyond this capacity is given back once it is empty.
constexpr std::size_t KEEP_PENDING_BYTES = 256 * 1024;

// After a large answer has been given back: the allocator keeps freed memory
// for reuse (in the arena of the thread that freed it) and returns it to the
// system only from the top of a heap; malloc_trim hands back every free page.
// It walks every arena of the process and releases free pages one chunk at a
// time (10-20 ms after some 20 MiB of small blocks were freed), so it runs
// only after a buffer or list above the keep limits was released, never on
// the steady path.
void returnFreedPages() { ::malloc_trim(0); }

}  // namespace

FramingStatus ReceiveStream::consume(const uint8_t* data, std::size_t size, PacketHandler& handler) {
    if (pending.size() + size >= MAX_PACKET_SIZE) {
        pending.clear();
        return FramingStatus::BufferTooLarge;
    }
    std::size_t used = 0;
    if (!pending.empty()) {
        const FramingStatus status = completePending(data, size, &used, handler);
        if (status != FramingStatus::Ok || !pending.empty()) {
            trimAfterPass();
            return status;  // failed, or every byte went into the still incomplete packet
        }
    }
    std::size_t consumed = 0;
    const FramingStatus status = frameBytes(data + used, size - used, &consumed,
                                            [&](const uint8_t* packet, const PacketHeader& header) {
                                                return dispatch(packet, header, handler);
                                            });
    if (status == FramingStatus::Ok) {
        // Only the incomplete tail is copied.
        pending.assign(reinterpret_cast<const char*>(data + used + consumed), size - used - consumed);
    }
    trimAfterPass();
    return status;
}

FramingStatus ReceiveStream::completePending(const uint8_t* data, std::size_t size, std::size_t* used,
                                             PacketHandler& handler) {
    // First the rest of the header, then the rest of the packet it announces.
    std::size_t taken = 0;
    if (pending.size() < PACKET_HEADER_SIZE) {
        taken = std::min(PACKET_HEADER_SIZE - pending.size(), size);
        pending.append(reinterpret_cast<const char*>(data), taken);
    }
    if (pending.size() >= PACKET_HEADER_SIZE) {
        const PacketHeader header = decodeHeader(reinterpret_cast<const uint8_t*>(pending.data()));
        // A bad header is refused by the framing pass below before anything is
        // taken for it.
        if (header.magic == PACKET_MAGIC && header.packetLength >= PACKET_HEADER_SIZE &&
            header.packetLength < MAX_PACKET_SIZE && header.packetLength > pending.size()) {
            const std::size_t more = std::min<std::size_t>(header.packetLength - pending.size(), size - taken);
            pending.append(reinterpret_cast<const char*>(data + taken), more);
            taken += more;
        }
    }
    *used = taken;
    return processFrames(pending, [&](const uint8_t* packet, const PacketHeader& header) {
        return dispatch(packet, header, handler);
    });
}

bool ReceiveStream::dispatch(const uint8_t* packet, const PacketHeader& header, PacketHandler& handler) {
    return dispatchPacket(packet, header, handler, scratch);
}

void ReceiveStream::reset() {
    const bool large = pending.capacity() > KEEP_PENDING_BYTES;
    std::string().swap(pending);
    if (scratch.trim() || large) returnFreedPages();
}

void ReceiveStream::trimAfterPass() {
    bool released = false;
    if (pending.empty() && pending.capacity() > KEEP_PENDING_BYTES) {
        std::string().swap(pending);
        released = true;
    }
    if (scratch.trim() || released) returnFreedPages();
}

}  // namespace hvr
