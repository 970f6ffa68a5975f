#include "Conversions.h"

#include <algorithm>
#include <cstring>

namespace hvr {

namespace {

// Replaces a field's text. clear() and append() keep the field's storage and
// copy straight into it when it is large enough (a reused record's usually
// is), a shorter path than assign(), which must allow for a source that
// overlaps the field.
inline void setText(std::string& field, const char* data, std::size_t size) {
    field.clear();
    field.append(data, size);
}

// Writes the text of "%u" straight into a record's field: no format parse and
// no temporary string per id (called once or twice for every push). Digits are
// written from the last one back, two at a time.
void assignDecimalId(std::string& field, uint32_t id) {
    static const char PAIRS[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char text[10];
    char* first = text + sizeof text;
    while (id >= 100) {
        const uint32_t pair = (id % 100) * 2;
        id /= 100;
        *--first = PAIRS[pair + 1];
        *--first = PAIRS[pair];
    }
    if (id >= 10) {
        *--first = PAIRS[id * 2 + 1];
        *--first = PAIRS[id * 2];
    } else {
        *--first = static_cast<char>('0' + id);
    }
    setText(field, first, static_cast<std::size_t>(text + sizeof text - first));
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

namespace {

// A wire text up to (not including) its first zero byte, as "%s" would read
// it, without a second pass over it for its length.
void assignText(std::string& field, const std::string& wire) {
    const void* zero = std::memchr(wire.data(), '\0', wire.size());
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - wire.data()) : wire.size();
    setText(field, wire.data(), length);
}

// A new field in a record must be written by its fill function below (a
// reused record would otherwise carry an earlier delivery's value): these
// sizes (of the 64-bit build) change with any field added, and point here.
constexpr bool LP64 = sizeof(void*) == 8 && sizeof(std::string) == 32;
static_assert(!LP64 || sizeof(kra::NXSEntrust) == 176, "fillEntrustAnswer and fillOrderInfo must write every field");
static_assert(!LP64 || sizeof(kra::NXSOrderInfo) == 272, "fillOrderInfo must write every field");
static_assert(!LP64 || sizeof(kra::NXSTradeInfo) == 232, "fillTradeInfo must write every field");

}  // namespace

void fillEntrustAnswer(const exchg::AnsOrderInsert& answer, kra::NXSEntrust& entrust) {
    entrust.exchange.clear();
    assignText(entrust.code, answer.instrument());
    entrust.volume = answer.qty();
    entrust.price = scaleUnsigned(answer.price());
    entrust.direction = directionCode(answer.direct());
    entrust.priceType = priceTypeCode(answer.pxtype());
    entrust.timeCondition = timeConditionCode(answer.timecond());
    entrust.offsetType = offsetCode(answer.offset());
    assignDecimalId(entrust.entrustId, answer.orderid());
    assignText(entrust.userTag, answer.usertag());
}

void fillOrderInfo(const exchg::Order& order, RecordSource source, kra::NXSOrderInfo& info) {
    info.exchange.clear();
    assignText(info.code, order.instrument());
    info.volume = order.qty();
    info.price = scaleSigned(order.price());
    info.direction = directionCode(order.direct());
    info.priceType = priceTypeCode(order.pxtype());
    info.timeCondition = timeConditionCode(order.timecond());
    info.offsetType = offsetCode(order.offset());
    assignDecimalId(info.entrustId, order.orderid());
    assignText(info.userTag, order.usertag());
    info.tradingDate = order.tradingdate();
    info.orderTime = source == RecordSource::Push ? order.ordertime() / 1000 : order.ordertime();
    info.tradedVolume = order.tradedvol();
    info.leftVolume = order.leftover();
    info.orderState = orderStateCode(order.status());
    info.orderType = orderTypeCode(order.ordertype());
    setText(info.orderId, info.entrustId.data(), info.entrustId.size());
    assignText(info.stateMessage, order.statemsg());
}

void fillTradeInfo(const exchg::Trade& trade, RecordSource source, kra::NXSTradeInfo& info) {
    info.exchange.clear();
    assignText(info.code, trade.instrument());
    assignDecimalId(info.tradeId, trade.tradeid());
    assignDecimalId(info.orderId, trade.orderid());
    if (source == RecordSource::Push) {
        assignText(info.userTag, trade.usertag());
    } else {
        info.userTag.clear();
    }
    info.tradingDate = trade.tradingdate();
    info.tradeTime = trade.tradetime();
    info.volume = trade.qty();
    info.price = scaleSigned(trade.price());
    info.direction = directionCode(trade.direct());
    info.offsetType = offsetCode(trade.offset());
    info.orderType = orderTypeCode(trade.ordertype());
    info.tradeType = '0';
    info.amount = scaleUnsigned(trade.amount());
}

kra::NXSEntrust* makeEntrustAnswer(const exchg::AnsOrderInsert& answer) {
    kra::NXSEntrust* entrust = new kra::NXSEntrust();
    fillEntrustAnswer(answer, *entrust);
    return entrust;
}

kra::NXSOrderInfo* makeOrderInfo(const exchg::Order& order, RecordSource source) {
    kra::NXSOrderInfo* info = kra::NXSOrderInfo::create();
    fillOrderInfo(order, source, *info);
    return info;
}

kra::NXSTradeInfo* makeTradeInfo(const exchg::Trade& trade, RecordSource source) {
    kra::NXSTradeInfo* info = new kra::NXSTradeInfo();
    fillTradeInfo(trade, source, *info);
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
        // The average in full double precision: instruments quote in
        // fractions (480.02), and a whole number would misstate every one.
        item->avgPrice = item->totalCost / static_cast<double>(totalVolume) / static_cast<double>(multiplier);
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
