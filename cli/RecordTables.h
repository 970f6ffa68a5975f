// The four query answers as aligned tables: funds, positions, orders and
// trades. Pure functions over arrays the adapter handed to the listener; they
// read the array during the call only. Text fields are converted from GBK.
#pragma once

#include <string>

#include "host/NXSObject.h"

namespace hvr::cli {

std::string fundsTable(const kra::NXSArray& accounts);       // of NXSAccountInfo
std::string positionsTable(const kra::NXSArray& positions);  // of NXSPositionItem
std::string ordersTable(const kra::NXSArray& orders);        // of NXSOrderInfo
std::string tradesTable(const kra::NXSArray& trades);        // of NXSTradeInfo

}  // namespace hvr::cli
