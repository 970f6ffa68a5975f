#include "TradingConfig.h"

#include <fstream>

namespace hvr::tools {

namespace {

constexpr const char* BLANKS = " \t\r";

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

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
    demo.balance = 10000000.0;  // room for about 80 lots of IF2412
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

    TradingConfig config;
    std::string kind, name;  // of the current [kind.name] section; empty before the first
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        const std::size_t comment = line.find_first_of("#;");
        const std::string text = trimmed(comment == std::string::npos ? line : line.substr(0, comment));
        if (text.empty()) continue;
        if (text.front() == '[') {
            if (text.back() != ']') throw ConfigError(where + ": a section header must end with \"]\"");
            const std::string section = trimmed(text.substr(1, text.size() - 2));
            const std::size_t dot = section.find('.');
            kind = dot == std::string::npos ? section : section.substr(0, dot);
            name = dot == std::string::npos ? std::string() : section.substr(dot + 1);
            if ((kind != "account" && kind != "instrument") || name.empty())
                throw ConfigError(where + ": unknown section \"" + section +
                                  "\"; use [account.NAME] or [instrument.CODE]");
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) throw ConfigError(where + ": expected \"key = value\", got \"" + text + "\"");
        const std::string field = trimmed(text.substr(0, equals));
        const std::string value = trimmed(text.substr(equals + 1));
        if (kind.empty())
            throw ConfigError(where + ": \"" + field + "\" is outside an [account.NAME] or [instrument.CODE] section");
        const std::string key = kind + "." + name + "." + field;
        if (kind == "account") {
            AccountConfig& account = config.accounts[name];
            account.user = name;
            setAccountKey(where, key, account, field, value);
        } else {
            InstrumentConfig& instrument = config.instruments[name];
            instrument.code = name;
            setInstrumentKey(where, key, instrument, field, value);
        }
    }
    return config;
}

}  // namespace hvr::tools
