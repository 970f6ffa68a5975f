// A table of text cells for `hvr-sim dump`, and its three renderings: an
// aligned text table for people, CSV (RFC 4180) and JSON (an array of
// objects keyed by column name) for programs. A cell is either a number,
// written bare in JSON and right-aligned in text, or text; a cell a row does
// not have (a fill has no order state) is empty in text and CSV and left out
// of its JSON object. Pure.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace hvr::sim {

struct DumpCell {
    std::string text;
    bool number = false;  // text is a JSON number (digits, '-', '.')
    bool absent = false;  // the row has no such field
};

struct DumpTable {
    std::vector<std::string> columns;
    std::vector<std::vector<DumpCell>> rows;  // each as long as columns
};

enum class DumpFormat { Text, Csv, Json };

void writeDumpTable(const DumpTable& table, DumpFormat format, std::ostream& out);

}  // namespace hvr::sim
