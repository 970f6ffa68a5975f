// Protocol-to-host conversions: parsed exchg messages become the host's
// records. Pure functions; each returns new objects with a count of 1 that
// the caller owns (see host/NXSObject.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exchg.pb.h"
#include "host/IContractCatalog.h"
#include "host/NXSObject.h"
#include "host/NXSRecords.h"

namespace hvr {

// Money and prices travel as integers counting 1/10000 of the host's unit.
inline double scaleSigned(int64_t wire) { return static_cast<double>(wire) / 10000.0; }
inline double scaleUnsigned(uint64_t wire) { return static_cast<double>(wire) / 10000.0; }

// An unsigned 32-bit id as decimal text ("%u").
std::string decimalId(uint32_t id);

// Character codes of the protocol's enumerations; values outside the listed
// ones map to the "other" code.
kra::NXSCode directionCode(int direct);
kra::NXSCode priceTypeCode(int pxtype);
kra::NXSCode timeConditionCode(int timecond);
kra::NXSCode offsetCode(int offset);
kra::NXSCode orderStateCode(int status);
int32_t orderTypeCode(int ordertype);

// Whether an order or trade comes from a push or from a query list: pushes
// carry ordertime in milliseconds and a usertag on fills.
enum class RecordSource { Push, List };

kra::NXSEntrust* makeEntrustAnswer(const exchg::AnsOrderInsert& answer);
kra::NXSOrderInfo* makeOrderInfo(const exchg::Order& order, RecordSource source);
kra::NXSTradeInfo* makeTradeInfo(const exchg::Trade& trade, RecordSource source);

// The same conversions into a record that exists already. Every field is
// written, the ones no conversion sets back to their defaults, so a record
// reused from an earlier delivery (and perhaps changed by the host during
// that call) comes out exactly as a new one would. Text fields keep their
// storage: a long tag is copied, not allocated again.
void fillEntrustAnswer(const exchg::AnsOrderInsert& answer, kra::NXSEntrust& entrust);
void fillOrderInfo(const exchg::Order& order, RecordSource source, kra::NXSOrderInfo& info);
void fillTradeInfo(const exchg::Trade& trade, RecordSource source, kra::NXSTradeInfo& info);
kra::NXSAccountInfo* makeAccountInfo(const exchg::AccountInfo& account, const std::string& userName);
// Null when the entry is left out: unknown contract, zero volume, or no
// catalog. A known contract without a product keeps its entry with currency
// "CNY" and avgPrice 0. Asks the catalog for the contract once.
// *unknownInstrument is set when the entry was left out because the catalog
// does not know its instrument while it holds volume.
kra::NXSPositionItem* makePositionItem(const exchg::Position& position, kra::IContractCatalog* catalog,
                                       bool* unknownInstrument = nullptr);

kra::NXSArray* convertAccounts(const exchg::AnsAccountInfo& answer, const std::string& userName);
// One pass, one getContract per entry. *unknownInstruments, when given, gets
// the instruments left out because the catalog does not know them (and they
// hold volume), each code once, in the order of first appearance.
kra::NXSArray* convertPositions(const exchg::PositionList& list, kra::IContractCatalog* catalog,
                                std::vector<std::string>* unknownInstruments = nullptr);
kra::NXSArray* convertOrders(const exchg::OrderList& list);
kra::NXSArray* convertTrades(const exchg::TradeList& list);

}  // namespace hvr
