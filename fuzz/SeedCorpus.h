// The seed corpus of fuzz_framing: valid server streams of every packet kind
// the trader handles or skips, each with what ConvertingHandler must count
// when the stream is fed whole. make_seeds writes them out; seed_corpus_test
// checks that each one really reaches the path it was made for, since a seed
// whose payload fails to parse is dropped silently and would only cover the
// framing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ConvertingHandler.h"

namespace hvr_fuzz {

struct Seed {
    std::string name;      // file name stem, [a-z0-9_]
    std::string stream;    // whole packets, as the server sends them
    HandledCounts expected;
    std::size_t leftover = 0;  // bytes of a trailing incomplete packet
};

// An uncompressed server packet.
std::string serverPacket(uint16_t functionCode, const std::string& payload, uint32_t requestNo = 0);

// A server packet whose payload is zlib-compressed; rawLength is 16 plus the
// plain payload's length.
std::string compressedServerPacket(uint16_t functionCode, const std::string& payload, uint32_t requestNo = 0);

std::vector<Seed> seedCorpus();

}  // namespace hvr_fuzz
