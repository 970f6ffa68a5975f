// The seed corpus and the fuzz receive loop. A seed that silently fails to
// parse, or a chunk plan that does not replay, would leave the fuzzer
// exploring framing only; these tests pin both down.
#include <gtest/gtest.h>

#include <set>

#include "ConvertingHandler.h"
#include "FuzzStream.h"
#include "SeedCorpus.h"

namespace hvr_fuzz {
namespace {

struct Fed {
    StreamOutcome outcome;
    HandledCounts counts;
};

Fed feed(const std::vector<std::string>& chunks, bool withCatalog = true) {
    kra::SimpleContractCatalog catalog = makeFuzzCatalog();
    ConvertingHandler handler(withCatalog ? &catalog : nullptr);
    Fed fed;
    fed.outcome = feedStream(chunks, handler);
    fed.counts = handler.counts();
    return fed;
}

std::vector<std::string> cut(const std::string& stream, const std::vector<std::size_t>& sizes) {
    std::vector<std::string> chunks;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        chunks.push_back(stream.substr(at, size));
        at += size;
    }
    return chunks;
}

class EachSeed : public ::testing::TestWithParam<Seed> {};

TEST_P(EachSeed, WholeStreamReachesTheHandlerPathItWasMadeFor) {
    const Seed& seed = GetParam();
    const Fed fed = feed({seed.stream});
    EXPECT_EQ(fed.outcome.status, hvr::FramingStatus::Ok);
    EXPECT_EQ(fed.outcome.leftover, seed.leftover);
    EXPECT_TRUE(fed.counts == seed.expected);
}

TEST_P(EachSeed, EveryReceiveSizeGivesTheSameResult) {
    const Seed& seed = GetParam();
    for (std::size_t chunkSize : {1, 2, 7, 15, 16, 17, 64}) {
        SCOPED_TRACE(chunkSize);
        const Fed fed = feed(cut(seed.stream, evenChunks(seed.stream.size(), chunkSize)));
        EXPECT_EQ(fed.outcome.status, hvr::FramingStatus::Ok);
        EXPECT_EQ(fed.outcome.leftover, seed.leftover);
        EXPECT_TRUE(fed.counts == seed.expected);
    }
}

TEST_P(EachSeed, SplitAtEveryOffsetGivesTheSameResult) {
    const Seed& seed = GetParam();
    for (std::size_t at = 1; at < seed.stream.size(); ++at) {
        SCOPED_TRACE(at);
        const Fed fed = feed({seed.stream.substr(0, at), seed.stream.substr(at)});
        ASSERT_TRUE(fed.counts == seed.expected);
        ASSERT_EQ(fed.outcome.leftover, seed.leftover);
    }
}

TEST_P(EachSeed, FuzzInputReplaysTheChunkPlan) {
    const Seed& seed = GetParam();
    for (std::size_t chunkSize : {std::size_t{1}, std::size_t{7}, seed.stream.size()}) {
        SCOPED_TRACE(chunkSize);
        const std::vector<std::size_t> sizes = evenChunks(seed.stream.size(), chunkSize);
        const std::string input = makeFuzzInput(seed.stream, sizes);
        const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
        EXPECT_EQ(splitFuzzInput(bytes, input.size()), cut(seed.stream, sizes));
    }
}

INSTANTIATE_TEST_SUITE_P(SeedCorpus, EachSeed, ::testing::ValuesIn(seedCorpus()),
                         [](const ::testing::TestParamInfo<Seed>& info) { return info.param.name; });

TEST(SeedCorpus, NamesAreUniqueFileNames) {
    std::set<std::string> names;
    for (const Seed& seed : seedCorpus()) {
        EXPECT_TRUE(names.insert(seed.name).second) << seed.name;
        EXPECT_EQ(seed.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos);
    }
}

// The receive loop stops where the trader drops the connection: at the first
// failed pass, with the buffer emptied and later chunks never looked at.
TEST(FeedStream, StopsAtTheFirstFailedPass) {
    const std::string login = seedCorpus().front().stream;
    std::string badMagic = serverPacket(hvr::FC_HEART_BEAT, "");
    badMagic[hvr::OFFSET_MAGIC] = 0x00;
    const Fed fed = feed({login, badMagic + login, login});
    EXPECT_EQ(fed.outcome.status, hvr::FramingStatus::BadHeader);
    EXPECT_EQ(fed.outcome.chunksFed, 2u);
    EXPECT_EQ(fed.outcome.leftover, 0u);
    EXPECT_EQ(fed.counts.logins, 1);
}

// A host that gave no catalog: position answers still pass, with no entries.
TEST(FeedStream, PositionsWithoutCatalogGiveEmptyAnswers) {
    for (const Seed& seed : seedCorpus()) {
        if (seed.name != "positions_mixed" && seed.name != "compressed_positions") continue;
        SCOPED_TRACE(seed.name);
        const Fed fed = feed({seed.stream}, false);
        EXPECT_EQ(fed.outcome.status, hvr::FramingStatus::Ok);
        EXPECT_EQ(fed.counts.positionLists, 1);
        EXPECT_EQ(fed.counts.records, 0);
    }
}

TEST(FeedStream, CompressedPacketWithWrongRawLengthEndsTheStream) {
    std::string packet = compressedServerPacket(hvr::FC_QRY_ORDERS, std::string(100, '\0'));
    const uint8_t* header = reinterpret_cast<const uint8_t*>(packet.data());
    uint8_t raw[4];
    hvr::writeLE32(raw, hvr::readLE32(header + hvr::OFFSET_RAW_LENGTH) + 1);
    packet.replace(hvr::OFFSET_RAW_LENGTH, 4, reinterpret_cast<const char*>(raw), 4);
    const Fed fed = feed({packet + serverPacket(hvr::FC_HEART_BEAT, "")});
    EXPECT_EQ(fed.outcome.status, hvr::FramingStatus::DispatchRejected);
    EXPECT_TRUE(fed.counts == HandledCounts{});
}

}  // namespace
}  // namespace hvr_fuzz
