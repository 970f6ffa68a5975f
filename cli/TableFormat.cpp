#include "cli/TableFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace hvr::cli {

namespace {

// Decodes the code point starting at text[i] and advances i; a malformed
// byte counts as one character.
uint32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
    if (i + length > text.size()) length = 1;
    uint32_t cp = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    return cp;
}

bool isWide(uint32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

bool isCombining(uint32_t cp) { return cp >= 0x0300 && cp <= 0x036F; }

void appendPadded(std::string& line, const std::string& cell, std::size_t width, Align align) {
    const std::size_t pad = width - std::min(width, displayWidth(cell));
    if (align == Align::Right) line.append(pad, ' ');
    line += cell;
    if (align == Align::Left) line.append(pad, ' ');
}

void trimRight(std::string& line) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
}

}  // namespace

std::size_t displayWidth(std::string_view utf8) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const uint32_t cp = nextCodePoint(utf8, i);
        width += isCombining(cp) ? 0 : isWide(cp) ? 2 : 1;
    }
    return width;
}

std::string formatTable(const std::vector<Column>& columns, const std::vector<TableRow>& rows) {
    std::vector<std::size_t> widths;
    for (const Column& c : columns) widths.push_back(displayWidth(c.title));
    for (const TableRow& row : rows) {
        for (std::size_t i = 0; i < columns.size() && i < row.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(row[i]));
    }
    auto renderLine = [&](auto cellAt) {
        std::string line;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0) line += "  ";
            appendPadded(line, cellAt(i), widths[i], columns[i].align);
        }
        trimRight(line);
        return line + "\n";
    };
    std::string out = renderLine([&](std::size_t i) { return columns[i].title; });
    std::size_t ruleWidth = 0;
    for (std::size_t w : widths) ruleWidth += w;
    ruleWidth += columns.empty() ? 0 : 2 * (columns.size() - 1);
    out += std::string(ruleWidth, '-') + "\n";
    if (rows.empty()) return out + "(none)\n";
    static const std::string emptyCell;
    for (const TableRow& row : rows) out += renderLine([&](std::size_t i) -> const std::string& { return i < row.size() ? row[i] : emptyCell; });
    return out;
}

std::string formatMoney(double value) {
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.2f", std::fabs(value));
    std::string text(digits);
    const std::size_t point = text.find('.');
    std::string grouped;
    for (std::size_t i = 0; i < point; ++i) {
        if (i > 0 && (point - i) % 3 == 0) grouped += ',';
        grouped += text[i];
    }
    grouped += text.substr(point);
    const bool negative = value < 0 && grouped.find_first_not_of("0.,") != std::string::npos;
    return negative ? "-" + grouped : grouped;
}

}  // namespace hvr::cli
