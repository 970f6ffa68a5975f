// Packets as the server sends and receives them: whole answer packets with
// zlib compression above a threshold, and the payload of a received packet.
// Pure: bytes in, bytes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/WireFormat.h"

namespace hvr::sim {

constexpr std::size_t DEFAULT_COMPRESS_THRESHOLD = 1024;

// Header + payload under functionCode and requestNo. A payload longer than
// compressThreshold bytes goes out zlib-compressed (compress2), with
// rawLength = 16 + payload size and packetLength = 16 + compressed size;
// otherwise plain with rawLength 0.
std::string encodePacket(uint16_t functionCode, uint32_t requestNo, const std::string& payload,
                         std::size_t compressThreshold);

// The payload of a complete received packet (header at packet): copied when
// plain, inflated when rawLength announces a compressed one. False when a
// compressed payload does not inflate to exactly the announced size.
bool extractPayload(const uint8_t* packet, const PacketHeader& header, std::string& payload);

}  // namespace hvr::sim
