#include "PacketCodec.h"

#include <zlib.h>

#include <stdexcept>

#include "net/Inflate.h"

namespace hvr::sim {

std::string encodePacket(uint16_t functionCode, uint32_t requestNo, const std::string& payload,
                         std::size_t compressThreshold) {
    PacketHeader header;
    header.functionCode = functionCode;
    header.requestNo = requestNo;
    std::string body;
    if (payload.size() > compressThreshold) {
        uLongf size = compressBound(static_cast<uLong>(payload.size()));
        body.resize(size);
        if (compress2(reinterpret_cast<Bytef*>(body.data()), &size, reinterpret_cast<const Bytef*>(payload.data()),
                      static_cast<uLong>(payload.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
            throw std::runtime_error("zlib compress2 failed");
        body.resize(size);
        header.rawLength = static_cast<uint32_t>(PACKET_HEADER_SIZE + payload.size());
    }
    const std::string& sent = header.rawLength != 0 ? body : payload;
    header.packetLength = static_cast<uint32_t>(PACKET_HEADER_SIZE + sent.size());
    std::string packet(PACKET_HEADER_SIZE, '\0');
    encodeHeader(header, reinterpret_cast<uint8_t*>(packet.data()));
    packet += sent;
    return packet;
}

bool extractPayload(const uint8_t* packet, const PacketHeader& header, std::string& payload) {
    const uint8_t* body = packet + PACKET_HEADER_SIZE;
    const std::size_t size = header.packetLength - PACKET_HEADER_SIZE;
    if (header.rawLength == 0) {
        payload.assign(reinterpret_cast<const char*>(body), size);
        return true;
    }
    return plausibleRawLength(header.rawLength) &&
           inflateExact(body, size, header.rawLength - PACKET_HEADER_SIZE, payload);
}

}  // namespace hvr::sim
