#include "cli/RecordTables.h"

#include "cli/GbkText.h"
#include "cli/RecordWords.h"
#include "cli/TableFormat.h"
#include "host/NXSRecords.h"

namespace hvr::cli {

namespace {

constexpr Align L = Align::Left;
constexpr Align R = Align::Right;

template <typename Record, typename MakeRow>
std::vector<TableRow> rowsOf(const kra::NXSArray& array, MakeRow makeRow) {
    std::vector<TableRow> rows;
    for (std::size_t i = 0; i < array.count(); ++i) {
        if (const Record* record = array.itemAs<Record>(i)) rows.push_back(makeRow(*record));
    }
    return rows;
}

}  // namespace

std::string fundsTable(const kra::NXSArray& accounts) {
    static const std::vector<Column> columns = {
        {"Account", L},  {"Currency", L},  {"Balance", R},    {"PreBalance", R}, {"Available", R},
        {"Margin", R},   {"FrozenMargin", R}, {"Commission", R}, {"CloseProfit", R}, {"DynProfit", R}};
    return formatTable(columns, rowsOf<kra::NXSAccountInfo>(accounts, [](const kra::NXSAccountInfo& a) {
                           return TableRow{gbkToUtf8(a.accountName), a.currency, formatMoney(a.balance),
                                           formatMoney(a.preBalance), formatMoney(a.available),
                                           formatMoney(a.margin), formatMoney(a.frozenMargin),
                                           formatMoney(a.commission), formatMoney(a.closeProfit),
                                           formatMoney(a.dynProfit)};
                       }));
}

std::string positionsTable(const kra::NXSArray& positions) {
    static const std::vector<Column> columns = {
        {"Code", L},     {"Side", L},     {"PreVolume", R}, {"NewVolume", R}, {"AvailPre", R},
        {"AvailNew", R}, {"AvgPrice", R}, {"TotalCost", R}, {"Margin", R},    {"DynProfit", R}};
    return formatTable(columns, rowsOf<kra::NXSPositionItem>(positions, [](const kra::NXSPositionItem& p) {
                           return TableRow{p.code,
                                           positionSideWord(p.direction),
                                           std::to_string(p.preVolume),
                                           std::to_string(p.newVolume),
                                           std::to_string(p.availPreVolume),
                                           std::to_string(p.availNewVolume),
                                           formatPrice(p.avgPrice),
                                           formatMoney(p.totalCost),
                                           formatMoney(p.margin),
                                           formatMoney(p.dynProfit)};
                       }));
}

std::string ordersTable(const kra::NXSArray& orders) {
    static const std::vector<Column> columns = {
        {"OrderId", R}, {"Code", L},   {"Side", L},  {"Offset", L}, {"Price", R},   {"Volume", R},
        {"Traded", R},  {"Left", R},   {"State", L}, {"Type", L},   {"Valid", L},   {"Message", L}};
    return formatTable(columns, rowsOf<kra::NXSOrderInfo>(orders, [](const kra::NXSOrderInfo& o) {
                           return TableRow{o.orderId,
                                           o.code,
                                           sideWord(o.direction),
                                           offsetWord(o.offsetType),
                                           formatPrice(o.price),
                                           std::to_string(o.volume),
                                           std::to_string(o.tradedVolume),
                                           std::to_string(o.leftVolume),
                                           orderStateWord(o.orderState),
                                           priceTypeWord(o.priceType),
                                           timeConditionWord(o.timeCondition),
                                           gbkToUtf8(o.stateMessage)};
                       }));
}

std::string tradesTable(const kra::NXSArray& trades) {
    static const std::vector<Column> columns = {{"TradeId", R}, {"OrderId", R}, {"Code", L},  {"Side", L},
                                                {"Offset", L},  {"Volume", R},  {"Price", R}, {"Amount", R}};
    return formatTable(columns, rowsOf<kra::NXSTradeInfo>(trades, [](const kra::NXSTradeInfo& t) {
                           return TableRow{t.tradeId,          t.orderId,
                                           t.code,             sideWord(t.direction),
                                           offsetWord(t.offsetType), std::to_string(t.volume),
                                           formatPrice(t.price), formatMoney(t.amount)};
                       }));
}

}  // namespace hvr::cli
