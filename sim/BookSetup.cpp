#include "BookSetup.h"

#include <algorithm>

#include "Fixed.h"
#include "ops/LoginRequest.h"

namespace hvr::sim {

std::vector<InstrumentTerms> instrumentsFrom(const tools::TradingConfig& config) {
    std::vector<InstrumentTerms> entries;
    for (const auto& [code, c] : config.instruments) {
        InstrumentTerms s;
        s.code = code;
        s.exchange = c.exchange;
        s.multiplier = c.multiplier;
        s.tick = std::max<int64_t>(1, toFixed(c.tick));
        s.last = toFixed(c.last);
        if (s.last <= 0) throw tools::ConfigError("instrument " + code + ": last price must be above 0");
        s.band = c.band;
        s.marginRatio = c.marginRatio;
        s.commissionRatio = c.commissionRatio;
        entries.push_back(s);
    }
    return entries;
}

std::vector<AccountSetup> accountsFrom(const tools::TradingConfig& config) {
    std::vector<AccountSetup> entries;
    for (const auto& [user, c] : config.accounts) {
        AccountSetup s;
        s.user = user;
        s.passwordMd5 = md5Hex(c.password);
        s.startBalance = toFixed(c.balance);
        entries.push_back(s);
    }
    return entries;
}

}  // namespace hvr::sim
