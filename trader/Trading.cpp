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
    return sendMessage(request, FC_CMD_ORDER_INSERT, nextRequestNo()) ? 0 : -1;
}

int TraderHVR::orderCancel(kra::NXSOrderAction* action) {
    if (action == nullptr) {
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_NULL_REQUEST);
        return -1;
    }
    if (action->actionFlag != ACTION_FLAG_CANCEL) return -1;
    exchg::ReqOrderCancel request;
    request.set_orderid(parseOrderId(action->orderId.c_str()));
    return sendMessage(request, FC_CMD_ORDER_CANCEL, nextRequestNo()) ? 0 : -1;
}

int TraderHVR::queryAccount() {
    return sendEmptyRequest(FC_QRY_ACCOUNT_INFO, nextRequestNo()) ? 0 : -1;
}

int TraderHVR::queryPositions() {
    return sendEmptyRequest(FC_QRY_POSITION, nextRequestNo()) ? 0 : -1;
}

int TraderHVR::queryOrders() {
    return sendEmptyRequest(FC_QRY_ORDERS, nextRequestNo()) ? 0 : -1;
}

int TraderHVR::queryTrades() {
    return sendEmptyRequest(FC_QRY_TRADES, nextRequestNo()) ? 0 : -1;
}

}  // namespace hvr
