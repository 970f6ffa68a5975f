#include "Options.h"

#include <boost/asio/ip/address.hpp>
#include <boost/program_options.hpp>
#include <ctime>
#include <set>
#include <sstream>

namespace hvr::sim {

namespace po = boost::program_options;

namespace {

// Filled by the parser, checked and converted afterwards.
struct RawValues {
    uint32_t tradingDate = 0;
    uint64_t walkSeed = 0;
    unsigned port = 0;
    std::string logLevel = "info";
    FaultFlagValues faults;
};

po::options_description describeOptions(SimOptions& o, RawValues& raw) {
    po::options_description d(
        "hvr-sim: simulated trading server on a loopback port\n\n"
        "Usage: hvr-sim [OPTIONS]\n"
        "       hvr-sim dump --db FILE [--json|--csv] day|orders|trades|positions|pushes|accounts\n\nOptions");
    d.add_options()
        ("listen", po::value(&o.listen)->value_name("ADDR"), "loopback address to listen on (default 127.0.0.1)")
        ("port", po::value(&raw.port)->value_name("N"), "port to listen on (default 0: any free port)")
        ("port-file", po::value(&o.portFile)->value_name("PATH"), "write the bound port there once listening")
        ("config", po::value(&o.configFile)->value_name("FILE"), "INI file of accounts and instruments")
        ("db", po::value(&o.db)->value_name("FILE"), "SQLite file of the trading day (default hvr-sim.db)")
        ("fresh-day", po::bool_switch(&o.freshDay), "wipe the database and start a new trading day")
        ("trading-date", po::value(&raw.tradingDate)->value_name("YYYYMMDD"), "date of a new trading day (default today)")
        ("compress-threshold", po::value(&o.compressThreshold)->value_name("N"),
         "compress answers longer than N bytes (default 1024)")
        ("idle-timeout", po::value(&o.idleTimeoutSeconds)->value_name("S"),
         "drop clients silent for S seconds (default 30)")
        ("login-timeout", po::value(&o.loginTimeoutSeconds)->value_name("S"),
         "close connections not logged in within S seconds (default 60)")
        ("heartbeat-seconds", po::value(&o.heartbeatSeconds)->value_name("S"),
         "send a heartbeat every S seconds on each logged-in connection; 0 = none (default 5)")
        ("max-connections", po::value(&o.maxConnections)->value_name("N"),
         "clients connected at once; when full, the oldest not logged in makes room (default 256)")
        ("log-file", po::value(&o.log.file)->value_name("PATH"), "log to PATH instead of stderr, rotated by size")
        ("log-max-bytes", po::value(&o.log.maxFileBytes)->value_name("N"),
         "rotate the log file past N bytes (default 10485760)")
        ("log-max-files", po::value(&o.log.maxFiles)->value_name("N"), "rotated log files kept (default 3)")
        ("log-level", po::value(&raw.logLevel)->value_name("LEVEL"), "debug, info, warning or error (default info)")
        ("partial-fills", po::bool_switch(&o.partialFills), "fill crossing orders in two parts")
        ("random-walk-seed", po::value(&raw.walkSeed)->value_name("N"), "walk last prices randomly from this seed")
        ("random-walk-ms", po::value(&o.randomWalkMs)->value_name("MS"), "one walk step every MS ms (default 1000)")
        ("request-journal", po::value(&o.requestJournal)->value_name("PATH"),
         "append one line per request received (and per accept, receive, close) to PATH")
        ("help,h", "show this help and exit")
        ("version", "show the version and exit");
    po::options_description faults("Fault injection");
    addFaultFlags(faults, o.faults, raw.faults);
    d.add(faults);
    return d;
}

// Flags whose value is an unsigned count, size or number.
const std::set<std::string> COUNT_FLAGS = {
    "port",          "trading-date",  "compress-threshold", "max-connections", "log-max-bytes",   "log-max-files",
    "random-walk-seed", "random-walk-ms",
};

CommandLine failure(const std::string& text) {
    CommandLine c;
    c.action = CommandLine::Action::Error;
    c.text = text;
    return c;
}

}  // namespace

bool validTradingDate(uint32_t date) {
    const uint32_t year = date / 10000, month = date / 100 % 100, day = date % 100;
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const uint32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

uint32_t todayTradingDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return static_cast<uint32_t>((local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday);
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    SimOptions& o = result.options;
    RawValues raw;
    const po::options_description description = describeOptions(o, raw);
    po::variables_map vm;
    try {
        // No positional arguments: a stray word is a usage error, not ignored.
        const po::positional_options_description none;
        const po::parsed_options parsed = po::command_line_parser(args).options(description).positional(none).run();
        // Counts and sizes are read into unsigned types, where "-1" would
        // silently wrap to a huge number.
        for (const po::option& option : parsed.options) {
            if (COUNT_FLAGS.count(option.string_key) == 0 && faultCountFlags().count(option.string_key) == 0) continue;
            for (const std::string& value : option.value)
                if (!value.empty() && value.front() == '-')
                    return failure("--" + option.string_key + ": \"" + value + "\" is negative; it must be 0 or more");
        }
        po::store(parsed, vm);
        po::notify(vm);
    } catch (const po::error& e) {
        return failure(std::string(e.what()) + " (see --help)");
    }
    if (vm.count("help")) {
        std::ostringstream text;
        text << description;
        result.action = CommandLine::Action::Help;
        result.text = text.str();
        return result;
    }
    if (vm.count("version")) {
        result.action = CommandLine::Action::Version;
        result.text = std::string("hvr-sim ") + HVR_SIM_VERSION + "\n";
        return result;
    }

    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(o.listen, error);
    if (error) return failure("--listen: \"" + o.listen + "\" is not an IP address");
    if (!address.is_loopback())
        return failure("--listen: \"" + o.listen + "\" is not a loopback address; use 127.0.0.1 or ::1");
    if (raw.port > 65535) return failure("--port: " + std::to_string(raw.port) + " is above 65535");
    o.port = static_cast<uint16_t>(raw.port);
    if (vm.count("trading-date") && !validTradingDate(raw.tradingDate))
        return failure("--trading-date: " + std::to_string(raw.tradingDate) + " is not a date in the form YYYYMMDD");
    o.tradingDate = raw.tradingDate;
    if (o.maxConnections == 0) return failure("--max-connections: must be at least 1");
    if (!parseLogLevel(raw.logLevel, o.log.level))
        return failure("--log-level: \"" + raw.logLevel + "\" is not one of debug, info, warning, error");
    if (o.log.maxFileBytes == 0) return failure("--log-max-bytes: must be at least 1");
    if (!(o.idleTimeoutSeconds > 0) || o.idleTimeoutSeconds > 86400.0)
        return failure("--idle-timeout: must be above 0 and at most 86400 seconds");
    if (!(o.loginTimeoutSeconds > 0) || o.loginTimeoutSeconds > 86400.0)
        return failure("--login-timeout: must be above 0 and at most 86400 seconds");
    if (vm.count("random-walk-seed")) o.randomWalkSeed = raw.walkSeed;
    if (o.randomWalkMs == 0) return failure("--random-walk-ms: must be at least 1");
    if (!(o.heartbeatSeconds >= 0) || o.heartbeatSeconds > 86400.0)
        return failure("--heartbeat-seconds: must be from 0 to 86400 seconds");
    const std::string faultProblem = finishFaultFlags(vm, o.faults, raw.faults);
    if (!faultProblem.empty()) return failure(faultProblem);
    return result;
}

}  // namespace hvr::sim
