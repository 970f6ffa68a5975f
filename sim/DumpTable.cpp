#include "DumpTable.h"

#include <algorithm>
#include <cstdio>

namespace hvr::sim {

namespace {

constexpr const char* COLUMN_GAP = "  ";

void writeText(const DumpTable& table, std::ostream& out) {
    std::vector<std::size_t> widths;
    for (const std::string& c : table.columns) widths.push_back(c.size());
    for (const auto& row : table.rows)
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].text.size());

    auto writeRow = [&](const std::vector<DumpCell>& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string pad(widths[i] - row[i].text.size(), ' ');
            if (i > 0) line += COLUMN_GAP;
            line += row[i].number ? pad + row[i].text : row[i].text + pad;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    };
    std::vector<DumpCell> header;
    for (const std::string& c : table.columns) header.push_back(DumpCell{c, false});
    writeRow(header);
    std::size_t total = 0;
    for (std::size_t w : widths) total += w;
    out << std::string(total + (widths.empty() ? 0 : (widths.size() - 1) * 2), '-') << '\n';
    for (const auto& row : table.rows) writeRow(row);
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

void writeCsv(const DumpTable& table, std::ostream& out) {
    for (std::size_t i = 0; i < table.columns.size(); ++i) out << (i ? "," : "") << csvField(table.columns[i]);
    out << "\r\n";
    for (const auto& row : table.rows) {
        for (std::size_t i = 0; i < row.size(); ++i) out << (i ? "," : "") << csvField(row[i].text);
        out << "\r\n";
    }
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

// Numbers go out as the decimal text the table holds (money with its four
// places), which a JSON library would round through a double; so the few
// lines of quoting live here.
void writeJson(const DumpTable& table, std::ostream& out) {
    out << "[";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        out << (r ? ",\n " : "\n ") << "{";
        const auto& row = table.rows[r];
        bool first = true;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row[i].absent) continue;
            out << (first ? "" : ", ") << jsonString(table.columns[i]) << ": "
                << (row[i].number ? row[i].text : jsonString(row[i].text));
            first = false;
        }
        out << "}";
    }
    out << (table.rows.empty() ? "]\n" : "\n]\n");
}

}  // namespace

void writeDumpTable(const DumpTable& table, DumpFormat format, std::ostream& out) {
    switch (format) {
        case DumpFormat::Csv:
            writeCsv(table, out);
            break;
        case DumpFormat::Json:
            writeJson(table, out);
            break;
        default:
            writeText(table, out);
            break;
    }
}

}  // namespace hvr::sim
