// Orders, cancels and queries: host threads build the requests and hand them
// to the send queue. Their answers come back through the link's receive path
// and AnswerDelivery.
#include "ops/OrderEncoding.h"
#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

bool TraderHVR::sendMessage(const google::protobuf::MessageLite& message, uint32_t functionCode) {
    const uint32_t requestNo = queue.nextRequestNo();
    // Before any lock: another thread of the parent may have held one at the
    // fork.
    if (copiedByFork()) return false;
    return queue.queueRequest(message, functionCode, requestNo);
}

bool TraderHVR::sendEmptyRequest(uint32_t functionCode) {
    const uint32_t requestNo = queue.nextRequestNo();
    if (copiedByFork()) return false;
    return queue.queueEmptyRequest(functionCode, requestNo);
}

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
    return sendMessage(request, FC_CMD_ORDER_INSERT) ? 0 : -1;
}

int TraderHVR::orderCancel(kra::NXSOrderAction* action) {
    if (action == nullptr) {
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_NULL_REQUEST);
        return -1;
    }
    if (action->actionFlag != ACTION_FLAG_CANCEL) return -1;
    exchg::ReqOrderCancel request;
    request.set_orderid(parseOrderId(action->orderId.c_str()));
    return sendMessage(request, FC_CMD_ORDER_CANCEL) ? 0 : -1;
}

int TraderHVR::queryAccount() {
    return sendEmptyRequest(FC_QRY_ACCOUNT_INFO) ? 0 : -1;
}

int TraderHVR::queryPositions() {
    return sendEmptyRequest(FC_QRY_POSITION) ? 0 : -1;
}

int TraderHVR::queryOrders() {
    return sendEmptyRequest(FC_QRY_ORDERS) ? 0 : -1;
}

int TraderHVR::queryTrades() {
    return sendEmptyRequest(FC_QRY_TRADES) ? 0 : -1;
}

}  // namespace hvr
