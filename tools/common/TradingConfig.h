// Accounts and instruments shared by the simulated server (hvr-sim) and the
// command-line host (hvr-host), read from one kind of INI file:
//
//   [account.demo]
//   password = demo
//   balance = 10000000           ; starting balance, in currency units
//
//   [instrument.IF2412]
//   exchange = CFFEX
//   currency = CNY
//   multiplier = 300             ; volume multiplier
//   tick = 0.2                   ; price tick
//   last = 3500                  ; last price
//   band = 0.1                   ; orders outside last*(1 +/- band) are refused
//   margin_ratio = 0.12          ; margin = price * volume * multiplier * ratio
//   commission_ratio = 0.000025  ; commission = traded amount * ratio
//
// Every key has a default; a file may name only what it changes. Comments
// start with '#' or ';' and run to the end of the line, at its start or after
// a value. With no file at all, defaultTradingConfig() gives a demo account
// and three instruments.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace hvr::tools {

struct AccountConfig {
    std::string user;
    std::string password;
    double balance = 10000000.0;
};

struct InstrumentConfig {
    std::string code;
    std::string exchange;
    std::string currency = "CNY";
    uint32_t multiplier = 1;
    double tick = 0.01;
    double last = 100.0;
    double band = 0.1;
    double marginRatio = 0.1;
    double commissionRatio = 0.0001;
};

struct TradingConfig {
    std::map<std::string, AccountConfig> accounts;        // by user name
    std::map<std::string, InstrumentConfig> instruments;  // by code
};

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The built-in demo set: account "demo" with password "demo", and the
// instruments IF2412, AU2412 and CU2412.
TradingConfig defaultTradingConfig();

// Reads an INI file as above. Throws ConfigError naming the file and line
// ("FILE:LINE: ..."), the key and what is wrong (unreadable file, unknown
// section or key, a line that is not "key = value", bad number).
TradingConfig loadTradingConfig(const std::string& path);

}  // namespace hvr::tools
