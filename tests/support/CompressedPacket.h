// A server packet whose payload travels zlib-compressed, as the trader's
// receive path takes it: the header announces rawLength = 16 + the plain
// payload's length, and the compressed bytes follow. The one builder of such
// packets for the tests, the benchmarks and the fuzzer's seed corpus (the
// simulator has its own, sim/PacketCodec.h, since it is a server, not a test).
// Header-only; needs zlib (hvr_core brings it).
#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>

#include "net/WireFormat.h"

namespace hvr::test {

// raw in the zlib format (RFC 1950) at the given level.
inline std::string zlibCompress(const std::string& raw, int level = Z_BEST_SPEED) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

// The packet of payload, compressed. rawLengthError is added to the
// announced rawLength, to make a packet whose size check must fail.
inline std::string compressedPacket(uint16_t functionCode, const std::string& payload, uint32_t requestNo = 0,
                                    int level = Z_BEST_SPEED, int rawLengthError = 0) {
    const std::string packed = zlibCompress(payload, level);
    std::string out;
    appendPacket(out, functionCode, requestNo, packed.data(), packed.size(),
                 static_cast<uint32_t>(static_cast<int64_t>(PACKET_HEADER_SIZE + payload.size()) + rawLengthError));
    return out;
}

}  // namespace hvr::test
