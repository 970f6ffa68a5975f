// How fuzz_framing turns one input into a receive stream, and the receive loop
// it runs. Input layout: chunk sizes are read from the end of the input (two
// bytes each, as FuzzedDataProvider reads integers), chunk bytes from the
// front, so a file of plain packets followed by a chunk plan replays exactly
// that split. The receive loop is the trader's own ReceiveStream: each chunk
// is consumed as one receive, and the feed stops at the first failed pass.
// Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ops/ReceiveStream.h"

namespace hvr_fuzz {

// The largest chunk a plan can name: one receive is never larger in the fuzz
// build, which keeps a chunk size at two bytes of input.
constexpr std::size_t MAX_CHUNK_SIZE = 0x10000;

// The chunks an input describes, in order; their concatenation is the stream.
std::vector<std::string> splitFuzzInput(const uint8_t* data, std::size_t size);

// The input that splitFuzzInput reads back as chunks of the given sizes over
// stream. REQUIRES: every size in 1..MAX_CHUNK_SIZE and the sizes summing to
// stream.size().
std::string makeFuzzInput(const std::string& stream, const std::vector<std::size_t>& chunkSizes);

// Chunk sizes of at most chunkSize bytes covering streamSize bytes.
std::vector<std::size_t> evenChunks(std::size_t streamSize, std::size_t chunkSize);

struct StreamOutcome {
    hvr::FramingStatus status = hvr::FramingStatus::Ok;  // of the last pass run
    std::size_t chunksFed = 0;                           // chunks received before the stop
    std::size_t leftover = 0;                            // bytes buffered at the end
};

// Feeds chunks through the receive loop into handler, checking after each
// pass that the stream holds nothing after a failure, and otherwise less than
// a header or exactly one incomplete packet with a valid header.
StreamOutcome feedStream(const std::vector<std::string>& chunks, hvr::PacketHandler& handler);

}  // namespace hvr_fuzz
