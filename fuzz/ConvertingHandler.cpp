#include "ConvertingHandler.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "records/Conversions.h"

namespace hvr_fuzz {

bool HandledCounts::operator==(const HandledCounts& o) const {
    return logins == o.logins && orderInserts == o.orderInserts && orderCancels == o.orderCancels &&
           orderLists == o.orderLists && tradeLists == o.tradeLists && positionLists == o.positionLists &&
           accountInfos == o.accountInfos && orderPushes == o.orderPushes && tradePushes == o.tradePushes &&
           pushesHandled == o.pushesHandled && unreadablePushes == o.unreadablePushes &&
           unreadableAnswers == o.unreadableAnswers && records == o.records && errors == o.errors;
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
    unreadablePushes += o.unreadablePushes;
    unreadableAnswers += o.unreadableAnswers;
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

ConvertingHandler::ConvertingHandler(kra::IContractCatalog* catalog)
    : listener(catalog, seen), delivery(reporter, flowRecord, session) {
    reporter.setListener(&listener);
    reporter.setCatalog(catalog);
}

void ConvertingHandler::onLoginAnswer(const exchg::AnsLogin& answer) {
    ++seen.logins;
    delivery.onLoginAnswer(answer);
}

void ConvertingHandler::onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) {
    ++seen.orderInserts;
    delivery.onOrderInsertAnswer(answer);
}

void ConvertingHandler::onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) {
    ++seen.orderCancels;
    delivery.onOrderCancelAnswer(answer);
}

void ConvertingHandler::onOrderList(const exchg::OrderList& list) {
    ++seen.orderLists;
    const int before = seen.records;
    delivery.onOrderList(list);
    FUZZ_CHECK(seen.records - before == list.orders_size());
}

void ConvertingHandler::onTradeList(const exchg::TradeList& list) {
    ++seen.tradeLists;
    const int before = seen.records;
    delivery.onTradeList(list);
    FUZZ_CHECK(seen.records - before == list.trades_size());
}

void ConvertingHandler::onPositionList(const exchg::PositionList& list) {
    ++seen.positionLists;
    const int before = seen.records;
    delivery.onPositionList(list);
    FUZZ_CHECK(seen.records - before <= list.positions_size());
    if (reporter.catalog() == nullptr) FUZZ_CHECK(seen.records == before);
}

void ConvertingHandler::onAccountInfo(const exchg::AnsAccountInfo& answer) {
    ++seen.accountInfos;
    const int before = seen.records;
    delivery.onAccountInfo(answer);
    FUZZ_CHECK(seen.records - before == answer.accinfos_size());
}

void ConvertingHandler::onOrderPush(const exchg::Order& order) {
    ++seen.orderPushes;
    delivery.onOrderPush(order);
}

void ConvertingHandler::onTradePush(const exchg::Trade& trade) {
    ++seen.tradePushes;
    delivery.onTradePush(trade);
}

void ConvertingHandler::onPushHandled(uint64_t pushId) {
    ++seen.pushesHandled;
    delivery.onPushHandled(pushId);
}

void ConvertingHandler::onUnreadablePush(uint64_t pushId, int32_t mtype) {
    ++seen.unreadablePushes;
    delivery.onUnreadablePush(pushId, mtype);
}

void ConvertingHandler::onUnreadableAnswer(uint16_t functionCode) {
    ++seen.unreadableAnswers;
    delivery.onUnreadableAnswer(functionCode);
}

void CheckingListener::onLoginResult(bool, const char* message, uint32_t) { FUZZ_CHECK(message != nullptr); }

void CheckingListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    FUZZ_CHECK(entrust != nullptr && entrust->retainCount() == 1);
    ++seen.records;
    if (error != nullptr) {
        FUZZ_CHECK(error->retainCount() == 1 && error->code == 1);
        ++seen.errors;
    }
}

void CheckingListener::onTraderError(kra::NXSError* error) {
    FUZZ_CHECK(error != nullptr && error->retainCount() == 1 && error->code == 2);
    ++seen.errors;
}

void CheckingListener::onOrdersAnswer(kra::NXSArray* array) {
    FUZZ_CHECK(array != nullptr && array->retainCount() == 1);
    for (std::size_t i = 0; i < array->count(); ++i) checkOrder(array->itemAs<kra::NXSOrderInfo>(i));
    seen.records += static_cast<int>(array->count());
}

void CheckingListener::onTradesAnswer(kra::NXSArray* array) {
    FUZZ_CHECK(array != nullptr && array->retainCount() == 1);
    for (std::size_t i = 0; i < array->count(); ++i) checkTrade(array->itemAs<kra::NXSTradeInfo>(i));
    seen.records += static_cast<int>(array->count());
}

void CheckingListener::onPositionsAnswer(kra::NXSArray* array) {
    FUZZ_CHECK(array != nullptr && array->retainCount() == 1);
    if (catalog == nullptr) FUZZ_CHECK(array->count() == 0);
    for (std::size_t i = 0; i < array->count(); ++i) checkPosition(array->itemAs<kra::NXSPositionItem>(i), *catalog);
    seen.records += static_cast<int>(array->count());
}

void CheckingListener::onAccountAnswer(kra::NXSArray* array) {
    FUZZ_CHECK(array != nullptr && array->retainCount() == 1);
    for (std::size_t i = 0; i < array->count(); ++i) FUZZ_CHECK(array->at(i) != nullptr);
    seen.records += static_cast<int>(array->count());
}

void CheckingListener::onOrderPush(kra::NXSOrderInfo* order) {
    checkOrder(order);
    ++seen.records;
}

void CheckingListener::onTradePush(kra::NXSTradeInfo* trade) {
    checkTrade(trade);
    ++seen.records;
}

void CheckingListener::logMessage(int level, const char* format, ...) {
    FUZZ_CHECK(level >= kra::LOG_LEVEL_INFO && level <= kra::LOG_LEVEL_ERROR);
    // Formatting the line checks that its arguments match the format.
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
}

}  // namespace hvr_fuzz
