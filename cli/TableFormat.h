// Aligned text tables for the terminal, and the number formats used in them.
// Pure functions over UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/TradeWords.h"

namespace hvr::cli {

enum class Align { Left, Right };

struct Column {
    std::string title;
    Align align = Align::Left;
};

using TableRow = std::vector<std::string>;

// A header line, a rule of dashes and one line per row; columns are two
// spaces apart and padded to their widest cell. A row shorter than the header
// is padded with empty cells. No trailing blanks. An empty table prints the
// header, the rule and "(none)".
std::string formatTable(const std::vector<Column>& columns, const std::vector<TableRow>& rows);

// Terminal columns taken by UTF-8 text: wide (CJK, full-width) characters
// count two, combining marks zero, every other character one.
std::size_t displayWidth(std::string_view utf8);

// Money with two decimals and thousands separators: "1,000,000.00", "-12.50".
std::string formatMoney(double value);

// A price with at most four decimals and no trailing zeros: "3500", "480.02".
using tools::formatPrice;

}  // namespace hvr::cli
