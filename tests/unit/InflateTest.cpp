// Inflate of compressed payloads and the exact-size acceptance rule.
#include <gtest/gtest.h>
#include <zlib.h>

#include "net/Inflate.h"
#include "net/WireFormat.h"
#include "tests/support/CompressedPacket.h"

namespace hvr {
namespace {

std::string deflateText(const std::string& raw) { return test::zlibCompress(raw, 6); }

// The decompression check the dispatcher and the simulator share: accepted
// only when the stream inflates to exactly rawLength - 16 bytes.
bool accepted(const std::string& payload, uint32_t rawLength) {
    std::string out;
    return plausibleRawLength(rawLength) &&
           inflateExact(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                        rawLength - PACKET_HEADER_SIZE, out);
}

TEST(Inflate, ExactSizeIsAcceptedWithTheOriginalBytes) {
    const std::string raw(5000, 'q');
    std::string payload = deflateText(raw);
    inflatePayload(payload, PACKET_HEADER_SIZE + raw.size());
    EXPECT_EQ(payload, raw);
    EXPECT_TRUE(accepted(deflateText(""), PACKET_HEADER_SIZE));  // an empty message
}

TEST(Inflate, WrongSizeCorruptAndTruncatedStreamsAreRefused) {
    const std::string raw = "the quick brown fox jumps over the lazy dog, twice: the quick brown fox";
    const std::string good = deflateText(raw);
    const uint32_t exact = static_cast<uint32_t>(PACKET_HEADER_SIZE + raw.size());
    EXPECT_TRUE(accepted(good, exact));
    EXPECT_FALSE(accepted(good, exact - 1));   // too small to hold it
    EXPECT_FALSE(accepted(good, exact + 1));   // ends early: size differs
    EXPECT_FALSE(accepted(good.substr(0, good.size() / 2), exact));
    std::string corrupt = good;
    corrupt[corrupt.size() / 2] ^= 0x55;
    corrupt[corrupt.size() - 1] ^= 0x55;  // Adler-32 trailer
    EXPECT_FALSE(accepted(corrupt, exact));
    EXPECT_FALSE(accepted("not zlib at all", exact));
}

TEST(Inflate, FailureYieldsTheWholeCapacity) {
    std::string payload = "garbage";
    inflatePayload(payload, 40);
    EXPECT_EQ(payload.size(), 40u);
}

TEST(Inflate, PresetDictionaryIsRefused) {
    const std::string raw = "dictionary words dictionary words";
    const std::string dictionary = "dictionary words";
    z_stream s{};
    ASSERT_EQ(deflateInit(&s, 6), Z_OK);
    ASSERT_EQ(deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dictionary.data()), dictionary.size()), Z_OK);
    std::string out(256, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    s.avail_in = raw.size();
    s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    s.avail_out = out.size();
    ASSERT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    EXPECT_FALSE(accepted(out, static_cast<uint32_t>(PACKET_HEADER_SIZE + raw.size())));
}

TEST(Inflate, ImplausibleAnnouncedSizesAreRefusedBeforeAllocating) {
    for (uint32_t rawLength = 1; rawLength < PACKET_HEADER_SIZE; ++rawLength) EXPECT_FALSE(plausibleRawLength(rawLength));
    EXPECT_TRUE(plausibleRawLength(MAX_PACKET_SIZE));
    EXPECT_FALSE(plausibleRawLength(MAX_PACKET_SIZE + 1));
    EXPECT_FALSE(plausibleRawLength(0xFFFFFFFFu));
}

}  // namespace
}  // namespace hvr
