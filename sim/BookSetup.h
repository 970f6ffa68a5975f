// Turns the shared INI configuration (tools/common/TradingConfig.h) into the
// book's instruments and accounts: prices and money to 1/10000 units,
// passwords to their MD5 digest. Pure.
#pragma once

#include <vector>

#include "Records.h"
#include "common/TradingConfig.h"

namespace hvr::sim {

// Throws tools::ConfigError when an instrument's last price is not positive.
std::vector<InstrumentTerms> instrumentsFrom(const tools::TradingConfig& config);

std::vector<AccountSetup> accountsFrom(const tools::TradingConfig& config);

}  // namespace hvr::sim
