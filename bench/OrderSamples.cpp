#include "OrderSamples.h"

#include "exchg.pb.h"
#include "net/WireFormat.h"
#include "ops/OrderEncoding.h"

namespace hvr::bench {

void fillEntrust(kra::NXSEntrust& entrust, unsigned thread) {
    entrust.code = "IF2412";
    entrust.exchange = "CFFEX";
    entrust.volume = 1;
    entrust.price = 3500.2;
    entrust.direction = '0';
    entrust.priceType = '2';
    entrust.timeCondition = '3';
    entrust.offsetType = '0';
    entrust.userTag = "strat" + std::to_string(thread) + ".123456";
}

std::string orderRequestPacket(const kra::NXSEntrust& entrust) {
    exchg::ReqOrderInsert request;
    buildOrderInsert(entrust, request);
    const std::string payload = request.SerializeAsString();
    std::string packet;
    appendRequestPacket(packet, FC_CMD_ORDER_INSERT, 1, payload.data(), payload.size());
    return packet;
}

std::string orderAnswerPacket(const kra::NXSEntrust& entrust) {
    exchg::ReqOrderInsert request;
    buildOrderInsert(entrust, request);
    exchg::AnsOrderInsert answer;
    answer.set_orderid(5123456);
    answer.set_result(0);
    answer.set_instrument(request.instrument());
    answer.set_price(request.price());
    answer.set_qty(request.qty());
    answer.set_direct(request.direct());
    answer.set_offset(request.offset());
    answer.set_pxtype(request.pxtype());
    answer.set_timecond(request.timecond());
    answer.set_usertag(request.usertag());
    const std::string payload = answer.SerializeAsString();
    std::string packet;
    appendRequestPacket(packet, FC_CMD_ORDER_INSERT, 1, payload.data(), payload.size());
    return packet;
}

}  // namespace hvr::bench
