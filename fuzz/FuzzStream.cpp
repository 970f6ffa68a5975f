#include "FuzzStream.h"

#include <fuzzer/FuzzedDataProvider.h>

#include "ConvertingHandler.h"

namespace hvr_fuzz {

std::vector<std::string> splitFuzzInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::string> chunks;
    while (input.remaining_bytes() > 0) {
        const std::size_t chunkSize = input.ConsumeIntegralInRange<std::size_t>(1, MAX_CHUNK_SIZE);
        std::string chunk = input.ConsumeBytesAsString(chunkSize);
        if (!chunk.empty()) chunks.push_back(std::move(chunk));
    }
    return chunks;
}

std::string makeFuzzInput(const std::string& stream, const std::vector<std::size_t>& chunkSizes) {
    // FuzzedDataProvider reads the first size from the last two bytes, the
    // high byte last; each following size sits before the previous one.
    std::string plan;
    for (auto it = chunkSizes.rbegin(); it != chunkSizes.rend(); ++it) {
        const std::size_t value = *it - 1;
        plan.push_back(static_cast<char>(value & 0xFF));
        plan.push_back(static_cast<char>((value >> 8) & 0xFF));
    }
    return stream + plan;
}

std::vector<std::size_t> evenChunks(std::size_t streamSize, std::size_t chunkSize) {
    std::vector<std::size_t> sizes;
    for (std::size_t done = 0; done < streamSize; done += chunkSize) {
        sizes.push_back(std::min(chunkSize, streamSize - done));
    }
    return sizes;
}

namespace {

// After each pass the stream holds nothing after a failure, and otherwise less
// than a header or exactly one incomplete packet with a valid header.
void checkHeldOverAfterPass(const std::string& held, hvr::FramingStatus status) {
    if (status != hvr::FramingStatus::Ok) {
        FUZZ_CHECK(held.empty());
        return;
    }
    if (held.size() < hvr::PACKET_HEADER_SIZE) return;
    const hvr::PacketHeader header = hvr::decodeHeader(reinterpret_cast<const uint8_t*>(held.data()));
    FUZZ_CHECK(header.magic == hvr::PACKET_MAGIC);
    FUZZ_CHECK(header.packetLength >= hvr::PACKET_HEADER_SIZE);
    FUZZ_CHECK(header.packetLength < hvr::MAX_PACKET_SIZE);
    FUZZ_CHECK(header.packetLength > held.size());
}

}  // namespace

StreamOutcome feedStream(const std::vector<std::string>& chunks, hvr::PacketHandler& handler) {
    StreamOutcome outcome;
    hvr::ReceiveStream stream;
    for (const std::string& chunk : chunks) {
        ++outcome.chunksFed;
        outcome.status = stream.consume(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), handler);
        checkHeldOverAfterPass(stream.heldOver(), outcome.status);
        if (outcome.status != hvr::FramingStatus::Ok) break;  // the trader drops the connection here
    }
    outcome.leftover = stream.heldOver().size();
    return outcome;
}

}  // namespace hvr_fuzz
