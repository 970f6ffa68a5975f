// Inflate of compressed answer payloads (zlib format, RFC 1950). Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hvr {

// Inflates the zlib stream in [data, data + size) into out, whose content is
// replaced. capacity is the most bytes the result may hold. When the stream
// ends inside the capacity, out holds exactly the inflated bytes; in every
// other case (corrupt or truncated stream, more output than capacity, a preset
// dictionary) out holds capacity bytes, so a caller that expects an exact size
// never accepts a failure.
void inflatePayload(const uint8_t* data, std::size_t size, std::size_t capacity, std::string& out);

// The same, replacing payload by its inflated form.
void inflatePayload(std::string& payload, std::size_t capacity);

// The decompression check of a packet and the inflate together: true when
// [data, data + size) is one zlib stream that inflates to exactly
// expectedSize bytes, which are then in out. False for anything else (corrupt
// or truncated stream, a different size, a preset dictionary, an expected
// size above MAX_PACKET_SIZE), with nothing allocated for an implausible size.
bool inflateExact(const uint8_t* data, std::size_t size, std::size_t expectedSize, std::string& out);

// The decompression check of a packet: does the announced rawLength (16 +
// inflated length) describe a payload this side accepts at all? Sizes below
// the header, or above MAX_PACKET_SIZE, are refused before anything is
// allocated.
bool plausibleRawLength(uint32_t rawLength);

}  // namespace hvr
