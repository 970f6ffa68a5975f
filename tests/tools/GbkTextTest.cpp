#include "common/GbkText.h"

#include <gtest/gtest.h>

namespace hvr::tools {
namespace {

TEST(GbkText, AsciiPassesThroughUnchanged) {
    EXPECT_EQ(gbkToUtf8(""), "");
    EXPECT_EQ(gbkToUtf8("[TraderHVR] plain 123"), "[TraderHVR] plain 123");
}

TEST(GbkText, AdapterLogLineBecomesChinese) {
    // [TraderHVR]连接成功, as the adapter sends it.
    EXPECT_EQ(gbkToUtf8("[TraderHVR]\xc1\xac\xbd\xd3\xb3\xc9\xb9\xa6"), "[TraderHVR]连接成功");
    // 合约不存在, the text of refusal -3.
    EXPECT_EQ(gbkToUtf8("\xba\xcf\xd4\xbc\xb2\xbb\xb4\xe6\xd4\xda"), "合约不存在");
}

TEST(GbkText, LongTextIsConvertedWhole) {
    std::string gbk;
    std::string utf8;
    for (int i = 0; i < 500; ++i) {
        gbk += "\xc1\xac";  // 连
        utf8 += "连";
    }
    EXPECT_EQ(gbkToUtf8(gbk), utf8);
}

TEST(GbkText, BadByteBecomesReplacementAndTheRestSurvives) {
    // 0xFF is no GBK lead byte; the text after it must still come through.
    EXPECT_EQ(gbkToUtf8("a\xff\xc1\xac" "b"), "a\xEF\xBF\xBD连b");
}

TEST(GbkText, PairCutOffAtTheEndBecomesReplacement) {
    EXPECT_EQ(gbkToUtf8("ok\xc1"), "ok\xEF\xBF\xBD");
}

TEST(GbkText, ReadableTextKeepsUtf8AndConvertsGbk) {
    // A code typed in UTF-8 and echoed back by the server stays as typed.
    EXPECT_EQ(readableText("黄金2412"), "黄金2412");
    EXPECT_EQ(readableText("IF2412"), "IF2412");
    // The adapter's and the server's GBK texts are converted.
    EXPECT_EQ(readableText("\xba\xcf\xd4\xbc\xb2\xbb\xb4\xe6\xd4\xda"), "合约不存在");
}

TEST(GbkText, Utf8CheckRefusesTruncatedOverlongAndSurrogateForms) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"));  // a é 中 😀
    EXPECT_FALSE(isValidUtf8("\xe4\xb8"));      // truncated at the end
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));      // overlong '/'
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));  // a UTF-16 surrogate
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xba\xcf"));      // GBK 合
}

}  // namespace
}  // namespace hvr::tools
