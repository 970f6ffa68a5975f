#include "Conversions.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace hvr {

namespace {

// Writes the text of "%u" straight into a record's field: no format parse and
// no temporary string per id (called once or twice for every push).
void assignDecimalId(std::string& field, uint32_t id) {
    char text[16];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, id);
    field.assign(text, end.ptr);
}

}  // namespace

std::string decimalId(uint32_t id) {
    std::string text;
    assignDecimalId(text, id);
    return text;
}

kra::NXSCode directionCode(int direct) { return direct == exchg::DT_Long ? '0' : '1'; }

kra::NXSCode priceTypeCode(int pxtype) { return pxtype == exchg::PT_AnyPrice ? '1' : '2'; }

kra::NXSCode timeConditionCode(int timecond) {
    switch (timecond) {
        case exchg::TC_ValidInDay: return '3';
        case exchg::TC_ValidInSection: return '2';
        default: return '1';
    }
}

kra::NXSCode offsetCode(int offset) {
    switch (offset) {
        case exchg::OF_Open: return '0';
        case exchg::OF_Close: return '1';
        default: return '3';
    }
}

kra::NXSCode orderStateCode(int status) {
    // Every OrderState value is listed; anything else is reported as unknown.
    if (status >= exchg::OS_AllTraded && status <= exchg::OS_Unkown) return static_cast<kra::NXSCode>('0' + status);
    return '0' + exchg::OS_Unkown;
}

int32_t orderTypeCode(int ordertype) {
    switch (ordertype) {
        case exchg::OT_Normal: return 0;
        case exchg::OT_Exception: return 1;
        default: return 2;
    }
}

kra::NXSEntrust* makeEntrustAnswer(const exchg::AnsOrderInsert& answer) {
    kra::NXSEntrust* entrust = kra::NXSEntrust::create(answer.instrument().c_str(), answer.qty(),
                                                        scaleUnsigned(answer.price()));
    entrust->direction = directionCode(answer.direct());
    entrust->priceType = priceTypeCode(answer.pxtype());
    entrust->timeCondition = timeConditionCode(answer.timecond());
    entrust->offsetType = offsetCode(answer.offset());
    assignDecimalId(entrust->entrustId, answer.orderid());
    entrust->userTag = answer.usertag().c_str();
    return entrust;
}

kra::NXSOrderInfo* makeOrderInfo(const exchg::Order& order, RecordSource source) {
    kra::NXSOrderInfo* info = kra::NXSOrderInfo::create();
    info->code = order.instrument().c_str();
    info->volume = order.qty();
    info->price = scaleSigned(order.price());
    info->direction = directionCode(order.direct());
    info->priceType = priceTypeCode(order.pxtype());
    info->timeCondition = timeConditionCode(order.timecond());
    info->offsetType = offsetCode(order.offset());
    assignDecimalId(info->entrustId, order.orderid());
    info->userTag = order.usertag().c_str();
    info->tradingDate = order.tradingdate();
    info->orderTime = source == RecordSource::Push ? order.ordertime() / 1000 : order.ordertime();
    info->tradedVolume = order.tradedvol();
    info->leftVolume = order.leftover();
    info->orderState = orderStateCode(order.status());
    info->orderType = orderTypeCode(order.ordertype());
    info->orderId = info->entrustId;
    info->stateMessage = order.statemsg().c_str();
    return info;
}

kra::NXSTradeInfo* makeTradeInfo(const exchg::Trade& trade, RecordSource source) {
    kra::NXSTradeInfo* info = kra::NXSTradeInfo::create(trade.instrument().c_str());
    assignDecimalId(info->tradeId, trade.tradeid());
    assignDecimalId(info->orderId, trade.orderid());
    if (source == RecordSource::Push) info->userTag = trade.usertag().c_str();
    info->tradingDate = trade.tradingdate();
    info->tradeTime = trade.tradetime();
    info->volume = trade.qty();
    info->price = scaleSigned(trade.price());
    info->direction = directionCode(trade.direct());
    info->offsetType = offsetCode(trade.offset());
    info->orderType = orderTypeCode(trade.ordertype());
    info->amount = scaleUnsigned(trade.amount());
    return info;
}

kra::NXSAccountInfo* makeAccountInfo(const exchg::AccountInfo& account, const std::string& userName) {
    kra::NXSAccountInfo* info = kra::NXSAccountInfo::create();
    info->accountName = userName.c_str();
    info->currency = account.currency().c_str();
    info->balance = scaleSigned(account.balance());
    info->preBalance = scaleSigned(account.prebalance());
    info->margin = scaleUnsigned(account.margin());
    info->commission = scaleUnsigned(account.commission());
    info->frozenMargin = scaleUnsigned(account.frozenmargin());
    info->frozenCommission = scaleUnsigned(account.frozencommission());
    info->closeProfit = scaleSigned(account.closeprofit());
    info->dynProfit = scaleSigned(account.dynprofit());
    info->deposit = scaleUnsigned(account.deposit());
    info->withdraw = scaleUnsigned(account.withdraw());
    info->available = scaleSigned(account.available());
    return info;
}

kra::NXSPositionItem* makePositionItem(const exchg::Position& position, kra::IContractCatalog* catalog,
                                       bool* unknownInstrument) {
    if (unknownInstrument != nullptr) *unknownInstrument = false;
    if (catalog == nullptr) return nullptr;
    const kra::NXSContractInfo* contract = catalog->getContract(position.instrument().c_str(), "");
    const uint32_t totalVolume = position.newvolumn() + position.prevolumn();
    if (totalVolume == 0) return nullptr;
    if (contract == nullptr) {
        if (unknownInstrument != nullptr) *unknownInstrument = true;
        return nullptr;
    }

    const kra::NXSProductInfo* product = catalog->getProduct(contract);
    kra::NXSPositionItem* item =
        kra::NXSPositionItem::create(contract->code.c_str(), product != nullptr ? product->currency.c_str() : "CNY");
    item->direction = directionCode(position.direct());
    item->preVolume = position.prevolumn();
    item->newVolume = position.newvolumn();
    item->availPreVolume = position.avaliprevol();
    item->availNewVolume = position.availnewvol();
    item->totalCost = scaleUnsigned(position.amount());
    item->margin = scaleUnsigned(position.margin());
    const uint32_t multiplier = product != nullptr ? product->volumeMultiplier : 0;
    if (multiplier != 0) {
        // A whole number, truncated toward zero. An average beyond the 32-bit
        // range (only a corrupt amount gets there) keeps its whole part
        // instead of being forced through a 32-bit integer, which has no
        // defined result for it.
        const double average = item->totalCost / static_cast<double>(totalVolume) / static_cast<double>(multiplier);
        item->avgPrice = average < 4294967296.0 ? static_cast<double>(static_cast<uint32_t>(average)) : std::trunc(average);
    }
    item->dynProfit = scaleSigned(position.dynprofit());
    return item;
}

namespace {

template <typename Message, typename Make>
kra::NXSArray* convertList(const google::protobuf::RepeatedPtrField<Message>& entries, Make make) {
    kra::NXSArray* array = kra::NXSArray::create();
    for (const Message& entry : entries) {
        kra::NXSObject* record = make(entry);
        if (record != nullptr) array->append(record);
    }
    return array;
}

}  // namespace

kra::NXSArray* convertAccounts(const exchg::AnsAccountInfo& answer, const std::string& userName) {
    return convertList(answer.accinfos(),
                       [&](const exchg::AccountInfo& a) { return makeAccountInfo(a, userName); });
}

kra::NXSArray* convertPositions(const exchg::PositionList& list, kra::IContractCatalog* catalog,
                                std::vector<std::string>* unknownInstruments) {
    return convertList(list.positions(), [&](const exchg::Position& p) {
        bool unknown = false;
        kra::NXSPositionItem* item = makePositionItem(p, catalog, &unknown);
        if (unknown && unknownInstruments != nullptr &&
            std::find(unknownInstruments->begin(), unknownInstruments->end(), p.instrument()) ==
                unknownInstruments->end())
            unknownInstruments->push_back(p.instrument());
        return item;
    });
}

kra::NXSArray* convertOrders(const exchg::OrderList& list) {
    return convertList(list.orders(), [](const exchg::Order& o) { return makeOrderInfo(o, RecordSource::List); });
}

kra::NXSArray* convertTrades(const exchg::TradeList& list) {
    return convertList(list.trades(), [](const exchg::Trade& t) { return makeTradeInfo(t, RecordSource::List); });
}

}  // namespace hvr
