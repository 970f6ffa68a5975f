// A table of text cells for `hvr-sim dump`, and its three renderings: an
// aligned text table for people, CSV (RFC 4180) and JSON (an array of
// objects keyed by column name) for programs. A cell is either a number,
// written bare in JSON and right-aligned in text, or text. Pure.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace hvr::sim {

struct DumpCell {
    std::string text;
    bool number = false;  // text is a JSON number (digits, '-', '.')
};

struct DumpTable {
    std::vector<std::string> columns;
    std::vector<std::vector<DumpCell>> rows;  // each as long as columns
};

enum class DumpFormat { Text, Csv, Json };

void writeDumpTable(const DumpTable& table, DumpFormat format, std::ostream& out);

}  // namespace hvr::sim
