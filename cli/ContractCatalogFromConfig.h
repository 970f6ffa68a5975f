// The host's contract catalog built from the instruments of a trading
// configuration (tools/common/TradingConfig.h): one product and one contract
// per instrument, with its exchange, currency and volume multiplier.
#pragma once

#include <memory>

#include "common/TradingConfig.h"
#include "host/SimpleContractCatalog.h"

namespace hvr::cli {

std::unique_ptr<kra::SimpleContractCatalog> makeContractCatalog(const tools::TradingConfig& config);

}  // namespace hvr::cli
