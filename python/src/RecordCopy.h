// Copies the module's host records into the extension's own values
// (EventRecords.h), converting every text from GBK to UTF-8. Pure: no lock, no
// Python; callable on any thread while the source record is alive.
#pragma once

#include "host/NXSObject.h"
#include "host/NXSRecords.h"
#include "python/src/EventRecords.h"

namespace hvr::python {

EntrustRecord copyEntrust(const kra::NXSEntrust& entrust);
OrderRecord copyOrder(const kra::NXSOrderInfo& order);
TradeRecord copyTrade(const kra::NXSTradeInfo& trade);
PositionRecord copyPosition(const kra::NXSPositionItem& position);
AccountRecord copyAccount(const kra::NXSAccountInfo& account);

// Every non-null element of an array, copied with copy(), in order. The array
// may be null (no records).
template <typename Record, typename Source, typename Copy>
std::vector<Record> copyArray(const kra::NXSArray* array, Copy copy) {
    std::vector<Record> records;
    if (array == nullptr) return records;
    records.reserve(array->count());
    for (std::size_t i = 0; i < array->count(); ++i) {
        const Source* item = array->itemAs<Source>(i);
        if (item != nullptr) records.push_back(copy(*item));
    }
    return records;
}

}  // namespace hvr::python
