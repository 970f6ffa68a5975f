#include "TradingConfig.h"

#include <boost/program_options/parsers.hpp>
#include <fstream>
#include <sstream>

namespace hvr::tools {

namespace {

double toNumber(const std::string& path, const std::string& key, const std::string& text) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) {
        throw ConfigError(path + ": \"" + key + "\" must be a number, got \"" + text + "\"");
    }
    return value;
}

void setAccountKey(const std::string& path, const std::string& key, AccountConfig& account,
                   const std::string& field, const std::string& value) {
    if (field == "password") {
        account.password = value;
    } else if (field == "balance") {
        account.balance = toNumber(path, key, value);
    } else {
        throw ConfigError(path + ": unknown account key \"" + key + "\"");
    }
}

void setInstrumentKey(const std::string& path, const std::string& key, InstrumentConfig& instrument,
                      const std::string& field, const std::string& value) {
    if (field == "exchange") {
        instrument.exchange = value;
    } else if (field == "currency") {
        instrument.currency = value;
    } else if (field == "multiplier") {
        double m = toNumber(path, key, value);
        if (m < 1 || m > 1e9 || m != static_cast<double>(static_cast<uint32_t>(m)))
            throw ConfigError(path + ": \"" + key + "\" must be a whole number from 1, got \"" + value + "\"");
        instrument.multiplier = static_cast<uint32_t>(m);
    } else if (field == "tick") {
        instrument.tick = toNumber(path, key, value);
        if (instrument.tick <= 0) throw ConfigError(path + ": \"" + key + "\" must be above 0");
    } else if (field == "last") {
        instrument.last = toNumber(path, key, value);
    } else if (field == "band") {
        instrument.band = toNumber(path, key, value);
    } else if (field == "margin_ratio") {
        instrument.marginRatio = toNumber(path, key, value);
    } else if (field == "commission_ratio") {
        instrument.commissionRatio = toNumber(path, key, value);
    } else {
        throw ConfigError(path + ": unknown instrument key \"" + key + "\"");
    }
}

InstrumentConfig makeInstrument(const std::string& code, const std::string& exchange, uint32_t multiplier,
                                double tick, double last, double marginRatio, double commissionRatio) {
    InstrumentConfig i;
    i.code = code;
    i.exchange = exchange;
    i.multiplier = multiplier;
    i.tick = tick;
    i.last = last;
    i.marginRatio = marginRatio;
    i.commissionRatio = commissionRatio;
    return i;
}

}  // namespace

TradingConfig defaultTradingConfig() {
    TradingConfig config;
    AccountConfig demo;
    demo.user = "demo";
    demo.password = "demo";
    demo.balance = 1000000.0;
    config.accounts[demo.user] = demo;
    for (const InstrumentConfig& i : {
             makeInstrument("IF2412", "CFFEX", 300, 0.2, 3500.0, 0.12, 0.000023),
             makeInstrument("AU2412", "SHFE", 1000, 0.02, 480.0, 0.08, 0.00001),
             makeInstrument("CU2412", "SHFE", 5, 10.0, 70000.0, 0.1, 0.00005),
         }) {
        config.instruments[i.code] = i;
    }
    return config;
}

TradingConfig loadTradingConfig(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ConfigError(path + ": cannot open the configuration file");
    namespace po = boost::program_options;
    po::parsed_options parsed(nullptr);
    try {
        parsed = po::parse_config_file(in, po::options_description(), true);
    } catch (const po::error& e) {
        throw ConfigError(path + ": " + e.what());
    }

    TradingConfig config;
    for (const po::option& option : parsed.options) {
        const std::string& key = option.string_key;
        const std::string value = option.value.empty() ? "" : option.value.front();
        const std::size_t firstDot = key.find('.');
        const std::size_t lastDot = key.rfind('.');
        if (firstDot == std::string::npos || firstDot == lastDot) {
            throw ConfigError(path + ": \"" + key + "\" is outside an [account.NAME] or [instrument.CODE] section");
        }
        const std::string kind = key.substr(0, firstDot);
        const std::string name = key.substr(firstDot + 1, lastDot - firstDot - 1);
        const std::string field = key.substr(lastDot + 1);
        if (kind == "account") {
            AccountConfig& account = config.accounts[name];
            account.user = name;
            setAccountKey(path, key, account, field, value);
        } else if (kind == "instrument") {
            InstrumentConfig& instrument = config.instruments[name];
            instrument.code = name;
            setInstrumentKey(path, key, instrument, field, value);
        } else {
            throw ConfigError(path + ": unknown section \"" + kind + "." + name + "\"");
        }
    }
    return config;
}

}  // namespace hvr::tools
