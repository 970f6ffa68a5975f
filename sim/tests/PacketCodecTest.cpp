// Answer packets with and without compression, and received payloads.
#include <gtest/gtest.h>

#include "PacketCodec.h"
#include "net/Framing.h"

namespace hvr::sim {
namespace {

std::string patterned(std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size; ++i) s.push_back(static_cast<char>('a' + i % 7));
    return s;
}

PacketHeader headerOf(const std::string& packet) {
    return decodeHeader(reinterpret_cast<const uint8_t*>(packet.data()));
}

TEST(PacketCodec, PayloadUpToTheThresholdGoesPlain) {
    const std::string payload = patterned(100);
    const std::string packet = encodePacket(FC_QRY_ORDERS, 42, payload, 100);
    const PacketHeader h = headerOf(packet);
    EXPECT_EQ(h.magic, PACKET_MAGIC);
    EXPECT_EQ(h.functionCode, FC_QRY_ORDERS);
    EXPECT_EQ(h.requestNo, 42u);
    EXPECT_EQ(h.rawLength, 0u);
    EXPECT_EQ(h.packetLength, PACKET_HEADER_SIZE + 100);
    EXPECT_EQ(packet.substr(PACKET_HEADER_SIZE), payload);
}

TEST(PacketCodec, PayloadAboveTheThresholdGoesCompressedAndInflatesBack) {
    const std::string payload = patterned(5000);
    const std::string packet = encodePacket(FC_QRY_TRADES, 7, payload, 1024);
    const PacketHeader h = headerOf(packet);
    EXPECT_EQ(h.rawLength, PACKET_HEADER_SIZE + payload.size());
    EXPECT_EQ(h.packetLength, packet.size());
    EXPECT_LT(packet.size(), payload.size());
    std::string back;
    ASSERT_TRUE(extractPayload(reinterpret_cast<const uint8_t*>(packet.data()), h, back));
    EXPECT_EQ(back, payload);
}

TEST(PacketCodec, CompressedPayloadWithAWrongAnnouncedSizeIsRefused) {
    std::string packet = encodePacket(FC_CMD_LOGIN, 1, patterned(3000), 0);
    PacketHeader h = headerOf(packet);
    std::string out;
    for (uint32_t wrong : {h.rawLength - 1, h.rawLength + 1, uint32_t{3}, MAX_PACKET_SIZE + 1}) {
        PacketHeader bad = h;
        bad.rawLength = wrong;
        EXPECT_FALSE(extractPayload(reinterpret_cast<const uint8_t*>(packet.data()), bad, out)) << wrong;
    }
    packet[PACKET_HEADER_SIZE + 5] ^= 0x5a;  // corrupt the stream itself
    EXPECT_FALSE(extractPayload(reinterpret_cast<const uint8_t*>(packet.data()), h, out));
}

TEST(PacketCodec, StreamOfEncodedPacketsFramesTheSameAtEverySplit) {
    const std::string stream = encodePacket(FC_CMD_LOGIN, 1, patterned(40), 1024) +
                               encodePacket(FC_QRY_ORDERS, 2, patterned(2000), 1024) +
                               encodePacket(FC_HEART_BEAT, 0, std::string(), 1024);
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        std::string buffer;
        std::vector<std::string> payloads;
        auto dispatch = [&payloads](const uint8_t* p, const PacketHeader& h) {
            std::string payload;
            if (!extractPayload(p, h, payload)) return false;
            payloads.push_back(payload);
            return true;
        };
        buffer.append(stream, 0, split);
        ASSERT_EQ(processFrames(buffer, dispatch), FramingStatus::Ok);
        buffer.append(stream, split, std::string::npos);
        ASSERT_EQ(processFrames(buffer, dispatch), FramingStatus::Ok);
        ASSERT_EQ(payloads.size(), 3u) << "split at " << split;
        EXPECT_EQ(payloads[1], patterned(2000));
        EXPECT_TRUE(buffer.empty());
    }
}

}  // namespace
}  // namespace hvr::sim
