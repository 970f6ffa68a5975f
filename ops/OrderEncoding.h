// Host-to-protocol encoding of orders and cancels: prices, character codes and
// order-id texts. Pure.
#pragma once

#include <cstdint>

#include "exchg.pb.h"
#include "host/NXSRecords.h"

namespace hvr {

// Host prices travel as integers counting 1/10000 of the host's unit.
constexpr double PRICE_SCALE = 10000.0;

// Encodes a host price: times 10000, rounded half away from zero, as a signed
// 32-bit value whose bit pattern is the unsigned wire field. The largest
// finite double means "no price" and encodes as 0. Returns false for a price
// that is not a number or whose scaled value is outside the signed 32-bit
// range; wire is then left unchanged.
bool encodePrice(double price, uint32_t& wire);

exchg::DirectionType directionToWire(kra::NXSCode direction);
exchg::PriceType priceTypeToWire(kra::NXSCode priceType);
exchg::TimeCondition timeConditionToWire(kra::NXSCode timeCondition);
exchg::OffsetFlag offsetToWire(kra::NXSCode offsetType);

// Fills request from the host's entrust. Returns false, leaving request
// partly filled, when the price cannot be encoded.
bool buildOrderInsert(const kra::NXSEntrust& entrust, exchg::ReqOrderInsert& request);

// Reads an order-id text the way strtoul does for a 32-bit value: leading
// white space skipped, one sign accepted, digits up to the first non-digit;
// no digits give 0, values above 4294967295 give 4294967295, and a leading
// minus negates modulo 2^32.
uint32_t parseOrderId(const char* text);

// The character value that asks orderCancel for a cancel.
constexpr kra::NXSCode ACTION_FLAG_CANCEL = '0';

}  // namespace hvr
