#include "cli/TableFormat.h"

#include <gtest/gtest.h>

namespace hvr::cli {
namespace {

TEST(TableFormat, ColumnsArePaddedToTheWidestCellAndNumbersAlignRight) {
    const std::string table = formatTable({{"Code", Align::Left}, {"Volume", Align::Right}},
                                          {{"IF2412", "1"}, {"AU", "1200"}});
    EXPECT_EQ(table,
              "Code    Volume\n"
              "--------------\n"
              "IF2412       1\n"
              "AU        1200\n");
}

TEST(TableFormat, WideCharactersTakeTwoColumns) {
    EXPECT_EQ(displayWidth("合约"), 4u);
    EXPECT_EQ(displayWidth("a合b"), 4u);
    const std::string table = formatTable({{"Message", Align::Left}, {"N", Align::Right}}, {{"合约", "1"}, {"ab", "2"}});
    EXPECT_EQ(table,
              "Message  N\n"
              "----------\n"
              "合约     1\n"
              "ab       2\n");
}

TEST(TableFormat, EmptyTableSaysNoneAndShortRowsArePadded) {
    EXPECT_EQ(formatTable({{"A", Align::Left}}, {}), "A\n-\n(none)\n");
    EXPECT_EQ(formatTable({{"A", Align::Left}, {"B", Align::Left}}, {{"x"}}), "A  B\n----\nx\n");
}

TEST(TableFormat, MoneyHasTwoDecimalsAndThousandsSeparators) {
    EXPECT_EQ(formatMoney(1000000), "1,000,000.00");
    EXPECT_EQ(formatMoney(999.999), "1,000.00");
    EXPECT_EQ(formatMoney(-1234.5), "-1,234.50");
    EXPECT_EQ(formatMoney(0), "0.00");
    EXPECT_EQ(formatMoney(-0.001), "0.00");
    EXPECT_EQ(formatMoney(12), "12.00");
}

TEST(TableFormat, PricesDropTrailingZeros) {
    EXPECT_EQ(formatPrice(3500), "3500");
    EXPECT_EQ(formatPrice(3500.2), "3500.2");
    EXPECT_EQ(formatPrice(480.02), "480.02");
    EXPECT_EQ(formatPrice(0.00001), "0");
    EXPECT_EQ(formatPrice(-12.5), "-12.5");
}

}  // namespace
}  // namespace hvr::cli
