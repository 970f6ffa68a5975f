// The flow file: names, stored push ids, reset and mapping.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <fstream>

#include "ops/FlowFile.h"
#include "port/MappedFile.h"

namespace hvr {
namespace {

class FlowFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("hvr-flow-%%%%%%%%");
        boost::filesystem::create_directories(dir);
        path = (dir / "alice.flow").string();
    }
    void TearDown() override { boost::filesystem::remove_all(dir); }

    void write(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
    std::string read() {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::string le64(uint64_t v) {
        std::string s(8, '\0');
        for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(v >> (8 * i));
        return s;
    }

    boost::filesystem::path dir;
    std::string path;
};

TEST_F(FlowFileTest, NameIsFolderUserAndExtensionWithNothingAdded) {
    EXPECT_EQ(flowFileName("data/", "alice"), "data/alice.flow");
    EXPECT_EQ(flowFileName("data", "alice"), "dataalice.flow");
    EXPECT_EQ(flowFileName("", "alice"), "alice.flow");
    EXPECT_EQ(flowFileName("data/", ""), "data/.flow");
}

TEST_F(FlowFileTest, PushModeChoosesWithoutTouchingTheFile) {
    EXPECT_EQ(readStoredPushId(1, path), -1);
    EXPECT_EQ(readStoredPushId(2, path), 0);
    EXPECT_EQ(readFlowFilePushId(path), 0);  // reading alone creates nothing either
    EXPECT_FALSE(boost::filesystem::exists(path));
}

TEST_F(FlowFileTest, StoredPushIdByFileSize) {
    EXPECT_EQ(readStoredPushId(0, path), 0);  // missing: created empty
    EXPECT_TRUE(boost::filesystem::exists(path));
    EXPECT_EQ(boost::filesystem::file_size(path), 0u);

    write("\x01\x02\x03");
    EXPECT_EQ(readStoredPushId(0, path), 0);  // fewer than 8 bytes
    write(le64(12345));
    EXPECT_EQ(readStoredPushId(0, path), 12345);  // 8 bytes
    write(le64(500) + "\x01\x02");
    EXPECT_EQ(readStoredPushId(0, path), 500);  // 10 bytes
    write(le64(500) + std::string(4, '\x07'));
    EXPECT_EQ(readStoredPushId(0, path), 500);  // 12 bytes
    write(le64(0xFFFFFFFFFFFFFFFFull) + std::string(12, '\x09'));
    EXPECT_EQ(readStoredPushId(7, path), -1);  // 20 bytes, read as signed
}

TEST_F(FlowFileTest, UnreadableFolderGivesZero) {
    EXPECT_EQ(readStoredPushId(0, (dir / "missing-dir" / "x.flow").string()), 0);
}

TEST_F(FlowFileTest, PrepareResetsAnyOtherSizeToTwelveZeroBytes) {
    for (std::size_t size : {0u, 5u, 8u, 11u, 13u, 20u}) {
        write(std::string(size, '\x5A'));
        ASSERT_TRUE(prepareFlowFile(path));
        EXPECT_EQ(read(), std::string(12, '\0')) << size;
    }
    boost::filesystem::remove(path);
    ASSERT_TRUE(prepareFlowFile(path));
    EXPECT_EQ(read(), std::string(12, '\0'));
}

TEST_F(FlowFileTest, PrepareKeepsATwelveByteFile) {
    write(le64(500) + std::string("\x01\x02\x03\x04", 4));
    ASSERT_TRUE(prepareFlowFile(path));
    EXPECT_EQ(read(), le64(500) + std::string("\x01\x02\x03\x04", 4));
}

TEST_F(FlowFileTest, MappedRecordWritesThroughToTheFile) {
    write(le64(500) + std::string(4, '\0'));
    {
        MappedFile file;
        ASSERT_TRUE(file.open(path));
        ASSERT_NE(file.address(), nullptr);
        EXPECT_EQ(file.size(), 12u);
        EXPECT_EQ(loadRecordPushId(file.address()), 500);
        storeRecordPushId(file.address(), 10);
        storeRecordPushId(file.address(), 7);  // a smaller id simply replaces
        storeRecordTradingDate(file.address(), 20261207);
        file.close();
        EXPECT_EQ(file.address(), nullptr);
    }
    const uint32_t date = 20261207;
    EXPECT_EQ(read(), le64(7) + std::string(reinterpret_cast<const char*>(&date), 4));
}

TEST_F(FlowFileTest, MappingRefusesMissingEmptyAndReadOnlyFiles) {
    MappedFile file;
    EXPECT_FALSE(file.open(path));
    EXPECT_FALSE(boost::filesystem::exists(path));  // nothing created
    write("");
    EXPECT_FALSE(file.open(path));
    write(std::string(12, '\0'));
    ::chmod(path.c_str(), 0444);
    if (::geteuid() != 0) {
        EXPECT_FALSE(file.open(path));  // root may write anyway
    }
    EXPECT_TRUE(file.address() == nullptr || ::geteuid() == 0);
}

}  // namespace
}  // namespace hvr
