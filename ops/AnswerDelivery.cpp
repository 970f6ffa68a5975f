#include "ops/AnswerDelivery.h"

#include "ops/FlowNoticeLog.h"
#include "records/Conversions.h"
#include "texts/ErrorCodeText.h"
#include "texts/LogText.h"

namespace hvr {

void AnswerDelivery::onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) {
    if (reporter.listener() == nullptr) return;  // nobody to hand them to
    kra::NXSEntrust* entrust = records.entrusts.take();
    fillEntrustAnswer(answer, *entrust);
    kra::NXSError* error = answer.result() != 0 ? kra::NXSError::create(1, answer.message().c_str()) : nullptr;
    reporter.call([&](kra::ITraderListener* l) { l->onEntrustAnswer(entrust, error); });
    records.entrusts.giveBack(entrust);
    if (error != nullptr) error->release();
}

void AnswerDelivery::onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) {
    if (answer.result() == 0) return;  // accepted: the order pushes tell the rest
    kra::NXSError* error = kra::NXSError::create(2, errorCodeText(answer.result()));
    reporter.deliver(error, [error](kra::ITraderListener* l) { l->onTraderError(error); });
}

namespace {

// One array of records from the shelf, each filled from its entry, in order.
template <typename Record, typename Entries, typename Fill>
kra::NXSArray* arrayFromShelf(RecordShelf<Record>& shelf, const Entries& entries, Fill fill) {
    kra::NXSArray* array = kra::NXSArray::create();
    for (const auto& entry : entries) {
        Record* record = shelf.take();
        fill(entry, *record);
        array->append(record);
    }
    return array;
}

}  // namespace

void AnswerDelivery::onOrderList(const exchg::OrderList& list) {
    if (reporter.listener() == nullptr) return;
    kra::NXSArray* array = arrayFromShelf(records.orders, list.orders(), [](const exchg::Order& o, kra::NXSOrderInfo& r) {
        fillOrderInfo(o, RecordSource::List, r);
    });
    reporter.call([array](kra::ITraderListener* l) { l->onOrdersAnswer(array); });
    records.orders.giveBackArray(array);
}

void AnswerDelivery::onTradeList(const exchg::TradeList& list) {
    if (reporter.listener() == nullptr) return;
    kra::NXSArray* array = arrayFromShelf(records.trades, list.trades(), [](const exchg::Trade& t, kra::NXSTradeInfo& r) {
        fillTradeInfo(t, RecordSource::List, r);
    });
    reporter.call([array](kra::ITraderListener* l) { l->onTradesAnswer(array); });
    records.trades.giveBackArray(array);
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
    if (reporter.listener() == nullptr) return;
    kra::NXSOrderInfo* info = records.orders.take();
    fillOrderInfo(order, RecordSource::Push, *info);
    reporter.call([info](kra::ITraderListener* l) { l->onOrderPush(info); });
    records.orders.giveBack(info);
}

void AnswerDelivery::onTradePush(const exchg::Trade& trade) {
    if (reporter.listener() == nullptr) return;
    kra::NXSTradeInfo* info = records.trades.take();
    fillTradeInfo(trade, RecordSource::Push, *info);
    reporter.call([info](kra::ITraderListener* l) { l->onTradePush(info); });
    records.trades.giveBack(info);
}

void AnswerDelivery::onPushHandled(uint64_t pushId) {
    const FlowNotices notices = flowRecord.storePushId(pushId);
    if (!notices.empty()) logFlowNotices(reporter, notices);  // rare: the push path stays a store
}

void AnswerDelivery::onUnreadablePush(uint64_t pushId, int32_t mtype) {
    reporter.log(kra::LOG_LEVEL_ERROR, LOG_PUSH_UNREADABLE, static_cast<unsigned long long>(pushId), mtype);
}

void AnswerDelivery::onUnreadableAnswer(uint16_t functionCode) {
    reporter.log(kra::LOG_LEVEL_ERROR, LOG_ANSWER_UNREADABLE, static_cast<unsigned>(functionCode));
}

}  // namespace hvr
