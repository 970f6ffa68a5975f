// Orders, cancels, queries, and the dispatched answers and pushes that become
// listener calls.
#include "ops/ErrorCodeText.h"
#include "ops/OrderEncoding.h"
#include "trader/Conversions.h"
#include "trader/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

int TraderHVR::orderInsert(kra::NXSEntrust* entrust) {
    if (entrust == nullptr) {
        log(kra::LOG_LEVEL_ERROR, LOG_NULL_REQUEST);
        return -1;
    }
    thread_local exchg::ReqOrderInsert request;
    request.Clear();
    if (!buildOrderInsert(*entrust, request)) {
        log(kra::LOG_LEVEL_ERROR, LOG_PRICE_REFUSED, entrust->code.c_str(), entrust->price);
        return -1;
    }
    sendMessage(request, FC_CMD_ORDER_INSERT, nextRequestNo());
    return 0;
}

int TraderHVR::orderCancel(kra::NXSOrderAction* action) {
    if (action == nullptr) {
        log(kra::LOG_LEVEL_ERROR, LOG_NULL_REQUEST);
        return -1;
    }
    if (action->actionFlag != ACTION_FLAG_CANCEL) return -1;
    exchg::ReqOrderCancel request;
    request.set_orderid(parseOrderId(action->orderId.c_str()));
    sendMessage(request, FC_CMD_ORDER_CANCEL, nextRequestNo());
    return 0;
}

int TraderHVR::queryAccount() {
    sendEmptyRequest(FC_QRY_ACCOUNT_INFO, nextRequestNo());
    return 0;
}

int TraderHVR::queryPositions() {
    sendEmptyRequest(FC_QRY_POSITION, nextRequestNo());
    return 0;
}

int TraderHVR::queryOrders() {
    sendEmptyRequest(FC_QRY_ORDERS, nextRequestNo());
    return 0;
}

int TraderHVR::queryTrades() {
    sendEmptyRequest(FC_QRY_TRADES, nextRequestNo());
    return 0;
}

void TraderHVR::onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) {
    kra::NXSEntrust* entrust = makeEntrustAnswer(answer);
    kra::NXSError* error = answer.result() != 0 ? kra::NXSError::create(1, answer.message().c_str()) : nullptr;
    if (kra::ITraderListener* l = listener.load(std::memory_order_acquire)) l->onEntrustAnswer(entrust, error);
    entrust->release();
    if (error != nullptr) error->release();
}

void TraderHVR::onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) {
    if (answer.result() == 0) return;  // accepted: the order pushes tell the rest
    kra::NXSError* error = kra::NXSError::create(2, errorCodeText(answer.result()));
    deliver(error, [error](kra::ITraderListener* l) { l->onTraderError(error); });
}

void TraderHVR::onOrderList(const exchg::OrderList& list) {
    kra::NXSArray* array = convertOrders(list);
    deliver(array, [array](kra::ITraderListener* l) { l->onOrdersAnswer(array); });
}

void TraderHVR::onTradeList(const exchg::TradeList& list) {
    kra::NXSArray* array = convertTrades(list);
    deliver(array, [array](kra::ITraderListener* l) { l->onTradesAnswer(array); });
}

void TraderHVR::onPositionList(const exchg::PositionList& list) {
    kra::IContractCatalog* catalog = contractCatalog.load();
    if (catalog == nullptr && list.positions_size() > 0) log(kra::LOG_LEVEL_WARN, LOG_NO_CATALOG);
    kra::NXSArray* array = convertPositions(list, catalog);
    deliver(array, [array](kra::ITraderListener* l) { l->onPositionsAnswer(array); });
}

void TraderHVR::onAccountInfo(const exchg::AnsAccountInfo& answer) {
    kra::NXSArray* array = convertAccounts(answer, currentUserName());
    deliver(array, [array](kra::ITraderListener* l) { l->onAccountAnswer(array); });
}

void TraderHVR::onOrderPush(const exchg::Order& order) {
    kra::NXSOrderInfo* info = makeOrderInfo(order, RecordSource::Push);
    deliver(info, [info](kra::ITraderListener* l) { l->onOrderPush(info); });
}

void TraderHVR::onTradePush(const exchg::Trade& trade) {
    kra::NXSTradeInfo* info = makeTradeInfo(trade, RecordSource::Push);
    deliver(info, [info](kra::ITraderListener* l) { l->onTradePush(info); });
}

}  // namespace hvr
