#include "ConvertingHandler.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ops/ErrorCodeText.h"
#include "trader/Conversions.h"

namespace hvr_fuzz {

bool HandledCounts::operator==(const HandledCounts& o) const {
    return logins == o.logins && orderInserts == o.orderInserts && orderCancels == o.orderCancels &&
           orderLists == o.orderLists && tradeLists == o.tradeLists && positionLists == o.positionLists &&
           accountInfos == o.accountInfos && orderPushes == o.orderPushes && tradePushes == o.tradePushes &&
           pushesHandled == o.pushesHandled && records == o.records && errors == o.errors;
}

HandledCounts& HandledCounts::operator+=(const HandledCounts& o) {
    logins += o.logins;
    orderInserts += o.orderInserts;
    orderCancels += o.orderCancels;
    orderLists += o.orderLists;
    tradeLists += o.tradeLists;
    positionLists += o.positionLists;
    accountInfos += o.accountInfos;
    orderPushes += o.orderPushes;
    tradePushes += o.tradePushes;
    pushesHandled += o.pushesHandled;
    records += o.records;
    errors += o.errors;
    return *this;
}

kra::SimpleContractCatalog makeFuzzCatalog() {
    kra::SimpleContractCatalog catalog;
    catalog.addInstrument("CU2409", 5);
    catalog.addInstrument("IF2409", 300);
    catalog.addInstrument("ZERO01", 0);
    catalog.addInstrument("USD01", 10, "USD");
    kra::NXSContractInfo orphan;
    orphan.code = "NOPROD1";
    orphan.name = "NOPROD1";
    orphan.productCode = "MISSING";
    catalog.addContract(orphan);
    return catalog;
}

void invariantFailed(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: fuzz invariant failed: %s\n", file, line, condition);
    std::abort();
}

namespace {

bool isCode(kra::NXSCode code, const char* allowed) {
    for (const char* c = allowed; *c != '\0'; ++c) {
        if (code == static_cast<kra::NXSCode>(*c)) return true;
    }
    return false;
}

void checkOrder(const kra::NXSOrderInfo* info) {
    FUZZ_CHECK(info != nullptr);
    FUZZ_CHECK(info->retainCount() == 1);
    FUZZ_CHECK(isCode(info->orderState, "0123456"));
    FUZZ_CHECK(isCode(info->direction, "01"));
    FUZZ_CHECK(isCode(info->offsetType, "013"));
    FUZZ_CHECK(info->orderType >= 0 && info->orderType <= 2);
}

void checkTrade(const kra::NXSTradeInfo* info) {
    FUZZ_CHECK(info != nullptr);
    FUZZ_CHECK(info->retainCount() == 1);
    FUZZ_CHECK(isCode(info->direction, "01"));
    FUZZ_CHECK(info->orderType >= 0 && info->orderType <= 2);
}

// Every kept entry names a catalog contract, holds volume and has a usable
// average price (0 when the product's multiplier is 0 or there is no product).
void checkPosition(const kra::NXSPositionItem* item, kra::IContractCatalog& catalog) {
    FUZZ_CHECK(item != nullptr);
    FUZZ_CHECK(item->retainCount() == 1);
    const kra::NXSContractInfo* contract = catalog.getContract(item->code.c_str(), "");
    FUZZ_CHECK(contract != nullptr);
    FUZZ_CHECK(item->newVolume + item->preVolume != 0);
    FUZZ_CHECK(std::isfinite(item->avgPrice) && item->avgPrice >= 0.0);
    const kra::NXSProductInfo* product = catalog.getProduct(contract);
    if (product == nullptr || product->volumeMultiplier == 0) FUZZ_CHECK(item->avgPrice == 0.0);
}

}  // namespace

void ConvertingHandler::onLoginAnswer(const exchg::AnsLogin&) { ++seen.logins; }

void ConvertingHandler::onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) {
    ++seen.orderInserts;
    kra::NXSEntrust* entrust = hvr::makeEntrustAnswer(answer);
    FUZZ_CHECK(entrust != nullptr && entrust->retainCount() == 1);
    ++seen.records;
    if (answer.result() != 0) {
        kra::NXSError* error = kra::NXSError::create(1, answer.message().c_str());
        ++seen.errors;
        error->release();
    }
    entrust->release();
}

void ConvertingHandler::onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) {
    ++seen.orderCancels;
    if (answer.result() == 0) return;
    const char* text = hvr::errorCodeText(answer.result());
    FUZZ_CHECK(text != nullptr);
    kra::NXSError* error = kra::NXSError::create(2, text);
    ++seen.errors;
    error->release();
}

void ConvertingHandler::onOrderList(const exchg::OrderList& list) {
    ++seen.orderLists;
    kra::NXSArray* array = hvr::convertOrders(list);
    FUZZ_CHECK(array->count() == static_cast<std::size_t>(list.orders_size()));
    for (std::size_t i = 0; i < array->count(); ++i) checkOrder(array->itemAs<kra::NXSOrderInfo>(i));
    seen.records += static_cast<int>(array->count());
    array->release();
}

void ConvertingHandler::onTradeList(const exchg::TradeList& list) {
    ++seen.tradeLists;
    kra::NXSArray* array = hvr::convertTrades(list);
    FUZZ_CHECK(array->count() == static_cast<std::size_t>(list.trades_size()));
    for (std::size_t i = 0; i < array->count(); ++i) checkTrade(array->itemAs<kra::NXSTradeInfo>(i));
    seen.records += static_cast<int>(array->count());
    array->release();
}

void ConvertingHandler::onPositionList(const exchg::PositionList& list) {
    ++seen.positionLists;
    kra::NXSArray* array = hvr::convertPositions(list, catalog);
    FUZZ_CHECK(array->count() <= static_cast<std::size_t>(list.positions_size()));
    if (catalog == nullptr) FUZZ_CHECK(array->count() == 0);
    for (std::size_t i = 0; i < array->count(); ++i) checkPosition(array->itemAs<kra::NXSPositionItem>(i), *catalog);
    seen.records += static_cast<int>(array->count());
    array->release();
}

void ConvertingHandler::onAccountInfo(const exchg::AnsAccountInfo& answer) {
    ++seen.accountInfos;
    kra::NXSArray* array = hvr::convertAccounts(answer, "fuzz");
    FUZZ_CHECK(array->count() == static_cast<std::size_t>(answer.accinfos_size()));
    for (std::size_t i = 0; i < array->count(); ++i) FUZZ_CHECK(array->at(i) != nullptr);
    seen.records += static_cast<int>(array->count());
    array->release();
}

void ConvertingHandler::onOrderPush(const exchg::Order& order) {
    ++seen.orderPushes;
    kra::NXSOrderInfo* info = hvr::makeOrderInfo(order, hvr::RecordSource::Push);
    checkOrder(info);
    ++seen.records;
    info->release();
}

void ConvertingHandler::onTradePush(const exchg::Trade& trade) {
    ++seen.tradePushes;
    kra::NXSTradeInfo* info = hvr::makeTradeInfo(trade, hvr::RecordSource::Push);
    checkTrade(info);
    ++seen.records;
    info->release();
}

void ConvertingHandler::onPushHandled(uint64_t) { ++seen.pushesHandled; }

}  // namespace hvr_fuzz
