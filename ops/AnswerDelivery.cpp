#include "ops/AnswerDelivery.h"

#include "records/Conversions.h"
#include "texts/ErrorCodeText.h"
#include "texts/LogText.h"

namespace hvr {

void AnswerDelivery::onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) {
    kra::NXSEntrust* entrust = makeEntrustAnswer(answer);
    kra::NXSError* error = answer.result() != 0 ? kra::NXSError::create(1, answer.message().c_str()) : nullptr;
    reporter.call([&](kra::ITraderListener* l) { l->onEntrustAnswer(entrust, error); });
    entrust->release();
    if (error != nullptr) error->release();
}

void AnswerDelivery::onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) {
    if (answer.result() == 0) return;  // accepted: the order pushes tell the rest
    kra::NXSError* error = kra::NXSError::create(2, errorCodeText(answer.result()));
    reporter.deliver(error, [error](kra::ITraderListener* l) { l->onTraderError(error); });
}

void AnswerDelivery::onOrderList(const exchg::OrderList& list) {
    kra::NXSArray* array = convertOrders(list);
    reporter.deliver(array, [array](kra::ITraderListener* l) { l->onOrdersAnswer(array); });
}

void AnswerDelivery::onTradeList(const exchg::TradeList& list) {
    kra::NXSArray* array = convertTrades(list);
    reporter.deliver(array, [array](kra::ITraderListener* l) { l->onTradesAnswer(array); });
}

void AnswerDelivery::onPositionList(const exchg::PositionList& list) {
    kra::IContractCatalog* catalog = reporter.catalog();
    if (catalog == nullptr && list.positions_size() > 0) reporter.log(kra::LOG_LEVEL_WARN, LOG_NO_CATALOG);
    // The left-out instruments are collected in the one pass that converts.
    std::vector<std::string> unknown;
    kra::NXSArray* array = convertPositions(list, catalog, &unknown);
    for (const std::string& code : unknown)
        reporter.log(kra::LOG_LEVEL_WARN, LOG_POSITION_UNKNOWN_CONTRACT, code.c_str());
    reporter.deliver(array, [array](kra::ITraderListener* l) { l->onPositionsAnswer(array); });
}

void AnswerDelivery::onAccountInfo(const exchg::AnsAccountInfo& answer) {
    kra::NXSArray* array = convertAccounts(answer, session.accountName());
    reporter.deliver(array, [array](kra::ITraderListener* l) { l->onAccountAnswer(array); });
}

void AnswerDelivery::onOrderPush(const exchg::Order& order) {
    kra::NXSOrderInfo* info = makeOrderInfo(order, RecordSource::Push);
    reporter.deliver(info, [info](kra::ITraderListener* l) { l->onOrderPush(info); });
}

void AnswerDelivery::onTradePush(const exchg::Trade& trade) {
    kra::NXSTradeInfo* info = makeTradeInfo(trade, RecordSource::Push);
    reporter.deliver(info, [info](kra::ITraderListener* l) { l->onTradePush(info); });
}

void AnswerDelivery::onUnreadablePush(uint64_t pushId, int32_t mtype) {
    reporter.log(kra::LOG_LEVEL_ERROR, LOG_PUSH_UNREADABLE, static_cast<unsigned long long>(pushId), mtype);
}

void AnswerDelivery::onUnreadableAnswer(uint16_t functionCode) {
    reporter.log(kra::LOG_LEVEL_ERROR, LOG_ANSWER_UNREADABLE, static_cast<unsigned>(functionCode));
}

}  // namespace hvr
