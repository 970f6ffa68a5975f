#include "Inflate.h"

#include <zlib.h>

#include <limits>

#include "WireFormat.h"

namespace hvr {

void inflatePayload(const uint8_t* data, std::size_t size, std::size_t capacity, std::string& out) {
    // Sized, not cleared: the inflate writes what it produces, and a failure
    // is told by the size alone (the bytes are never read).
    out.resize(capacity);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return;  // out already holds capacity bytes

    // Both sizes fit in uInt: payloads and capacities stay below MAX_PACKET_SIZE.
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(capacity);

    int rc = inflate(&stream, Z_FINISH);
    if (rc == Z_STREAM_END) {
        out.resize(stream.total_out);
    }
    inflateEnd(&stream);
}

void inflatePayload(std::string& payload, std::size_t capacity) {
    std::string out;
    inflatePayload(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), capacity, out);
    payload.swap(out);
}

bool inflateExact(const uint8_t* data, std::size_t size, std::size_t expectedSize, std::string& out) {
    if (expectedSize > MAX_PACKET_SIZE - PACKET_HEADER_SIZE) return false;
    // One byte of headroom tells an exact inflate from one that would go on:
    // a stream that does not end inside the buffer leaves it full.
    inflatePayload(data, size, expectedSize + 1, out);
    return out.size() == expectedSize;
}

bool plausibleRawLength(uint32_t rawLength) {
    return rawLength >= PACKET_HEADER_SIZE && rawLength <= MAX_PACKET_SIZE;
}

}  // namespace hvr
