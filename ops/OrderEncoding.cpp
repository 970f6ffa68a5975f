#include "OrderEncoding.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace hvr {

bool encodePrice(double price, uint32_t& wire) {
    if (price == DBL_MAX) {
        wire = 0;
        return true;
    }
    if (std::isnan(price)) return false;
    double scaled = price * PRICE_SCALE;
    scaled += price > 0 ? 0.5 : -0.5;
    scaled = std::trunc(scaled);
    if (scaled < static_cast<double>(INT32_MIN) || scaled > static_cast<double>(INT32_MAX)) return false;
    wire = static_cast<uint32_t>(static_cast<int32_t>(scaled));
    return true;
}

exchg::DirectionType directionToWire(kra::NXSCode direction) {
    return direction == '0' ? exchg::DT_Long : exchg::DT_Short;
}

exchg::PriceType priceTypeToWire(kra::NXSCode priceType) {
    return priceType == '1' ? exchg::PT_AnyPrice : exchg::PT_LimitPrice;
}

exchg::TimeCondition timeConditionToWire(kra::NXSCode timeCondition) {
    switch (timeCondition) {
        case '3': return exchg::TC_ValidInDay;
        case '2': return exchg::TC_ValidInSection;
        default: return exchg::TC_ImmediateOrCancel;
    }
}

exchg::OffsetFlag offsetToWire(kra::NXSCode offsetType) {
    switch (offsetType) {
        case '0': return exchg::OF_Open;
        case '1': return exchg::OF_Close;
        default: return exchg::OF_CloseToday;
    }
}

bool buildOrderInsert(const kra::NXSEntrust& entrust, exchg::ReqOrderInsert& request) {
    uint32_t price = 0;
    if (!encodePrice(entrust.price, price)) return false;
    request.set_instrument(entrust.code);
    request.set_price(price);
    request.set_qty(entrust.volume);
    request.set_direct(directionToWire(entrust.direction));
    request.set_pxtype(priceTypeToWire(entrust.priceType));
    request.set_timecond(timeConditionToWire(entrust.timeCondition));
    request.set_offset(offsetToWire(entrust.offsetType));
    request.set_usertag(entrust.userTag);
    return true;
}

uint32_t parseOrderId(const char* text) {
    if (text == nullptr) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint64_t value = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (!saturated) {
            value = value * 10 + (*p - '0');
            if (value > UINT32_MAX) saturated = true;
        }
    }
    if (saturated) return UINT32_MAX;
    uint32_t result = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - result) : result;
}

}  // namespace hvr
