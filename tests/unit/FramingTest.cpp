// The framing pass over a receive buffer: split points, limits, corruption.
#include <gtest/gtest.h>

#include <vector>

#include "net/Framing.h"
#include "texts/LogText.h"

namespace hvr {
namespace {

std::string packet(uint16_t functionCode, const std::string& payload, uint32_t lengthOverride = 0) {
    std::string out;
    appendRequestPacket(out, functionCode, 7, payload.data(), payload.size());
    if (lengthOverride != 0) writeLE32(reinterpret_cast<uint8_t*>(&out[OFFSET_PACKET_LENGTH]), lengthOverride);
    return out;
}

struct Collector {
    std::vector<std::pair<uint16_t, std::string>> seen;
    bool accept = true;
    bool operator()(const uint8_t* p, const PacketHeader& h) {
        seen.emplace_back(h.functionCode, std::string(reinterpret_cast<const char*>(p) + PACKET_HEADER_SIZE,
                                                      h.packetLength - PACKET_HEADER_SIZE));
        return accept;
    }
};

TEST(Framing, PacketSplitAtEveryOffsetIsDispatchedOnce) {
    const std::string stream = packet(30, "hello") + packet(100, "") + packet(69, std::string(300, 'z'));
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        std::string buffer;
        Collector c;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            buffer.append(stream, at, chunk);
            ASSERT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::Ok);
        }
        ASSERT_EQ(c.seen.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(c.seen[0], std::make_pair(uint16_t{30}, std::string("hello")));
        EXPECT_EQ(c.seen[1], std::make_pair(uint16_t{100}, std::string()));
        EXPECT_EQ(c.seen[2].second.size(), 300u);
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(Framing, SeveralPacketsInOneReadKeepTheIncompleteTail) {
    const std::string fourth = packet(31, "tail-bytes");
    std::string buffer = packet(1, "a") + packet(2, "bb") + packet(3, "ccc") + fourth.substr(0, 20);
    Collector c;
    ASSERT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::Ok);
    ASSERT_EQ(c.seen.size(), 3u);
    EXPECT_EQ(c.seen[0].first, 1);
    EXPECT_EQ(c.seen[1].first, 2);
    EXPECT_EQ(c.seen[2].first, 3);
    EXPECT_EQ(buffer, fourth.substr(0, 20));
}

TEST(Framing, FewerThanAHeaderAreNeverExamined) {
    std::string buffer(15, '\x00');  // cannot start with the magic, but is too short to judge
    Collector c;
    EXPECT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::Ok);
    EXPECT_EQ(buffer.size(), 15u);
    EXPECT_TRUE(c.seen.empty());
}

TEST(Framing, LengthJustBelowTheLimitIsWaitedFor) {
    std::string buffer = packet(30, "", 0x1FFFFFF);
    Collector c;
    EXPECT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::Ok);
    EXPECT_EQ(buffer.size(), PACKET_HEADER_SIZE);
    EXPECT_TRUE(c.seen.empty());
}

TEST(Framing, LengthAtTheLimitIsRefused) {
    std::string buffer = packet(30, "", 0x2000000);
    Collector c;
    EXPECT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::PacketTooLarge);
    EXPECT_TRUE(buffer.empty());
    EXPECT_STREQ(framingFailureLogLine(FramingStatus::PacketTooLarge), LOG_PACKET_TOO_LARGE);
}

TEST(Framing, WholeBufferAtTheLimitIsRefusedBeforeAnyDispatch) {
    std::string buffer = packet(30, "first");
    buffer.resize(MAX_PACKET_SIZE, '\0');
    Collector c;
    EXPECT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::BufferTooLarge);
    EXPECT_TRUE(c.seen.empty());
    EXPECT_TRUE(buffer.empty());
    EXPECT_STREQ(framingFailureLogLine(FramingStatus::BufferTooLarge), LOG_PACKET_TOO_LARGE);
}

TEST(Framing, GoodPacketThenBadMagicDispatchesTheFirstAndDropsTheRest) {
    std::string bad = packet(31, "x");
    bad[0] = '\xFE';
    std::string buffer = packet(30, "good") + bad + packet(33, "never");
    Collector c;
    EXPECT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::BadHeader);
    ASSERT_EQ(c.seen.size(), 1u);
    EXPECT_EQ(c.seen[0].second, "good");
    EXPECT_TRUE(buffer.empty());
    EXPECT_STREQ(framingFailureLogLine(FramingStatus::BadHeader), LOG_BAD_HEADER);
}

TEST(Framing, LengthBelowTheHeaderSizeIsRefusedLikeABadMagic) {
    for (uint32_t length : {0u, 1u, 15u}) {
        std::string buffer = packet(30, "abcdefgh");
        writeLE32(reinterpret_cast<uint8_t*>(&buffer[OFFSET_PACKET_LENGTH]), length);
        Collector c;
        EXPECT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::BadHeader) << length;
        EXPECT_TRUE(c.seen.empty());
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(Framing, RejectedDispatchEmptiesTheBufferSilently) {
    std::string buffer = packet(30, "a") + packet(31, "b");
    Collector c;
    c.accept = false;
    EXPECT_EQ(processFrames(buffer, std::ref(c)), FramingStatus::DispatchRejected);
    EXPECT_EQ(c.seen.size(), 1u);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(framingFailureLogLine(FramingStatus::DispatchRejected), nullptr);
}

TEST(WireFormat, HeaderIsLittleEndianAtFixedOffsets) {
    std::string out;
    appendRequestPacket(out, 0x12345, 0xA1B2C3D4, "0123456789", 10);  // function code keeps its low 16 bits
    ASSERT_EQ(out.size(), 26u);
    const std::string expected("\xFF\xFF\x45\x23\x1A\x00\x00\x00\x00\x00\x00\x00\xD4\xC3\xB2\xA1", 16);
    EXPECT_EQ(out.substr(0, 16), expected);
    EXPECT_EQ(out.substr(16), "0123456789");
}

}  // namespace
}  // namespace hvr
