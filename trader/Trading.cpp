// Orders, cancels and queries: host threads build and queue the requests.
// Their answers come back through the receive path and AnswerDelivery.
#include "ops/OrderEncoding.h"
#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

int TraderHVR::orderInsert(kra::NXSEntrust* entrust) {
    if (entrust == nullptr) {
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_NULL_REQUEST);
        return -1;
    }
    thread_local exchg::ReqOrderInsert request;
    request.Clear();
    if (!buildOrderInsert(*entrust, request)) {
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_PRICE_REFUSED, entrust->code.c_str(), entrust->price);
        return -1;
    }
    sendMessage(request, FC_CMD_ORDER_INSERT, nextRequestNo());
    return 0;
}

int TraderHVR::orderCancel(kra::NXSOrderAction* action) {
    if (action == nullptr) {
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_NULL_REQUEST);
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

}  // namespace hvr
