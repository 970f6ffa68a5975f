#include "cli/ContractCatalogFromConfig.h"

namespace hvr::cli {

std::unique_ptr<kra::SimpleContractCatalog> makeContractCatalog(const tools::TradingConfig& config) {
    auto catalog = std::make_unique<kra::SimpleContractCatalog>();
    for (const auto& [code, instrument] : config.instruments)
        catalog->addInstrument(code, instrument.multiplier, instrument.currency, instrument.exchange);
    return catalog;
}

}  // namespace hvr::cli
