#include "cli/RecordTables.h"

#include "cli/RecordWords.h"

namespace hvr::cli {

namespace {

constexpr Align L = Align::Left;
constexpr Align R = Align::Right;

Cell money(double value) { return Cell{formatMoney(value), value}; }

template <typename Record, typename MakeRow>
RecordTable tableOf(std::vector<Column> columns, const std::vector<Record>& records, MakeRow makeRow) {
    RecordTable table{std::move(columns), {}};
    for (const Record& record : records) table.rows.push_back(makeRow(record));
    return table;
}

}  // namespace

Cell textCell(const std::string& value) { return Cell{value, value}; }
Cell countCell(uint64_t value) { return Cell{std::to_string(value), value}; }
Cell priceCell(double value) { return Cell{formatPrice(value), value}; }
Cell timeCell(uint64_t value) { return Cell{recordTimeText(value), value}; }

RecordTable fundsRecords(const std::vector<tools::AccountRecord>& accounts) {
    return tableOf(
        {{"Account", L}, {"Currency", L}, {"Balance", R}, {"PreBalance", R}, {"Available", R},
         {"Margin", R}, {"FrozenMargin", R}, {"Commission", R}, {"CloseProfit", R}, {"DynProfit", R}},
        accounts, [](const tools::AccountRecord& a) {
            return std::vector<Cell>{textCell(a.accountName), textCell(a.currency),
                                     money(a.balance), money(a.preBalance), money(a.available), money(a.margin),
                                     money(a.frozenMargin), money(a.commission), money(a.closeProfit),
                                     money(a.dynProfit)};
        });
}

RecordTable positionsRecords(const std::vector<tools::PositionRecord>& positions) {
    return tableOf(
        {{"Code", L}, {"Side", L}, {"PreVolume", R}, {"NewVolume", R}, {"AvailPre", R},
         {"AvailNew", R}, {"AvgPrice", R}, {"TotalCost", R}, {"Margin", R}, {"DynProfit", R}},
        positions, [](const tools::PositionRecord& p) {
            return std::vector<Cell>{textCell(p.code), textCell(positionSideWord(p.direction)),
                                     countCell(p.preVolume), countCell(p.newVolume), countCell(p.availPreVolume),
                                     countCell(p.availNewVolume), priceCell(p.avgPrice), money(p.totalCost),
                                     money(p.margin), money(p.dynProfit)};
        });
}

RecordTable ordersRecords(const std::vector<tools::OrderRecord>& orders) {
    return tableOf(
        {{"OrderId", R}, {"Time", L}, {"Code", L}, {"Side", L}, {"Offset", L}, {"Price", R}, {"Volume", R},
         {"Traded", R}, {"Left", R}, {"State", L}, {"Type", L}, {"Valid", L}, {"Message", L}},
        orders, [](const tools::OrderRecord& o) {
            return std::vector<Cell>{textCell(o.orderId), timeCell(o.orderTime), textCell(o.code),
                                     textCell(sideWord(o.direction)), textCell(offsetWord(o.offsetType)), priceCell(o.price),
                                     countCell(o.volume), countCell(o.tradedVolume), countCell(o.leftVolume),
                                     textCell(orderStateWord(o.orderState)), textCell(priceTypeWord(o.priceType)),
                                     textCell(timeConditionWord(o.timeCondition)), textCell(o.stateMessage)};
        });
}

RecordTable tradesRecords(const std::vector<tools::TradeRecord>& trades) {
    return tableOf(
        {{"TradeId", R}, {"OrderId", R}, {"Time", L}, {"Code", L}, {"Side", L}, {"Offset", L}, {"Volume", R},
         {"Price", R}, {"Amount", R}},
        trades, [](const tools::TradeRecord& t) {
            return std::vector<Cell>{textCell(t.tradeId), textCell(t.orderId), timeCell(t.tradeTime),
                                     textCell(t.code), textCell(sideWord(t.direction)),
                                     textCell(offsetWord(t.offsetType)), countCell(t.volume), priceCell(t.price),
                                     money(t.amount)};
        });
}

std::string tableText(const RecordTable& table) {
    std::vector<TableRow> rows;
    rows.reserve(table.rows.size());
    for (const auto& row : table.rows) {
        TableRow cells;
        for (const Cell& cell : row) cells.push_back(cell.text);
        rows.push_back(std::move(cells));
    }
    return formatTable(table.columns, rows);
}

std::vector<nlohmann::json> tableRows(const RecordTable& table) {
    std::vector<nlohmann::json> objects;
    for (const auto& row : table.rows) {
        nlohmann::json object = nlohmann::json::object();
        for (std::size_t i = 0; i < row.size() && i < table.columns.size(); ++i)
            object[table.columns[i].title] = row[i].value;
        objects.push_back(std::move(object));
    }
    return objects;
}

}  // namespace hvr::cli
