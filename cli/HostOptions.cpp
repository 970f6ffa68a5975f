#include "cli/HostOptions.h"

#include "host/ITraderListener.h"

#include <boost/program_options.hpp>
#include <fstream>
#include <sstream>

namespace hvr::cli {

namespace po = boost::program_options;

namespace {

// Options that may also come from --trader-config.
po::options_description sessionOptions(HostOptions& o) {
    po::options_description d("Session");
    d.add_options()
        ("host", po::value(&o.host)->default_value(o.host), "server address: IPv4, IPv6 or a host name")
        ("port", po::value(&o.port), "server port (required)")
        ("folder", po::value(&o.folder)->default_value(o.folder),
         "prefix of the per-user .flow file (end it with '/')")
        ("pushmode", po::value(&o.pushMode)->default_value(o.pushMode),
         "0 resume pushes from the .flow file, 1 only new pushes, 2 replay all")
        ("nodelay", po::value(&o.nodelay)->default_value(o.nodelay),
         "1 sends each request at once (TCP_NODELAY), 0 keeps the system's default")
        ("peertimeout", po::value(&o.peerTimeout)->default_value(o.peerTimeout),
         "seconds without a byte from a server that sent heartbeats before the connection is dropped and made "
         "again; 0 = never")
        ("threads", po::value(&o.threads)->default_value(o.threads),
         "own: a network thread of the trader's own; shared: the module's pool of network threads")
        ("poolthreads", po::value(&o.poolThreads)->default_value(o.poolThreads),
         "with --threads shared: the pool's threads if this trader makes it; 0 = one per CPU")
        ("user", po::value(&o.user), "log in as USER after every connect")
        ("password", po::value(&o.password),
         "password for --user (visible in ps: prefer $HVR_PASSWORD or the prompt)")
        ("resource", po::value(&o.resource)->default_value(o.resource), "client name sent with the login")
        ("timeout", po::value(&o.timeoutMs)->default_value(o.timeoutMs),
         "milliseconds to wait for connect, login and answers")
        ("close-wait", po::value(&o.closeWaitMs)->default_value(o.closeWaitMs),
         "milliseconds to wait at the end (script, input or quit) for answers still due before releasing")
        ("reconcile", po::value(&o.reconcile)->default_value(o.reconcile),
         "1 compares the book with the server's orders and fills after every login, 0 does not");
    return d;
}

po::options_description fileOptions(HostOptions& o, const std::string& defaultModule) {
    po::options_description d("Files");
    o.module = defaultModule;
    d.add_options()
        ("config", po::value(&o.instrumentsConfig), "accounts and instruments INI (default: built-in set)")
        ("trader-config", po::value(&o.traderConfig), "file of key = value lines for the session options")
        ("script", po::value(&o.script), "run the commands in FILE instead of reading the terminal")
        ("module", po::value(&o.module)->default_value(o.module), "trader module to load")
        ("json", po::bool_switch(&o.json), "print one JSON object per line instead of text")
        ("log-file", po::value(&o.logFile), "also write everything printed to FILE (appended)")
        ("log-level", po::value(&o.logLevel)->default_value(o.logLevel),
         "print the adapter's log lines from this level up: info, warn or error")
        ("version", "print the version and exit")
        ("help,h", "show this help");
    return d;
}

}  // namespace

ParsedOptions parseHostOptions(const std::vector<std::string>& args, const std::string& defaultModule) {
    ParsedOptions result;
    HostOptions& o = result.options;
    po::options_description session = sessionOptions(o);
    po::options_description all("hvr-host: a command-line trading host for libTraderHVR.so\n"
                                "Usage: hvr-host [options]");
    all.add(session).add(fileOptions(o, defaultModule));
    std::ostringstream help;
    help << all;
    result.helpText = help.str();
    try {
        po::variables_map vm;
        po::store(po::command_line_parser(args).options(all).run(), vm);
        if (vm.count("trader-config")) {
            const std::string path = vm["trader-config"].as<std::string>();
            std::ifstream in(path);
            if (!in) {
                result.error = "cannot open --trader-config file '" + path + "'";
                return result;
            }
            po::store(po::parse_config_file(in, session), vm);
        }
        po::notify(vm);
        result.showHelp = vm.count("help") > 0;
        result.showVersion = vm.count("version") > 0;
        if (result.showHelp || result.showVersion) return result;
    } catch (const po::error& e) {
        result.error = e.what();
        return result;
    }
    if (o.port == HostOptions::NO_PORT) result.error = "--port is required (on the command line or in --trader-config)";
    else if (o.port < 1 || o.port > 65535) result.error = "--port must be from 1 to 65535";
    else if (o.nodelay != 0 && o.nodelay != 1) result.error = "--nodelay must be 0 or 1";
    else if (o.peerTimeout < 0) result.error = "--peertimeout must be 0 or more";
    else if (o.threads != "own" && o.threads != "shared") result.error = "--threads must be own or shared";
    else if (o.poolThreads < 0) result.error = "--poolthreads must be 0 or more";
    else if (o.pushMode < 0 || o.pushMode > 2) result.error = "--pushmode must be 0, 1 or 2";
    else if (o.reconcile != 0 && o.reconcile != 1) result.error = "--reconcile must be 0 or 1";
    else if (o.user.empty() && !o.password.empty()) result.error = "--password needs --user";
    else if (logLevelCode(o.logLevel) == 0) result.error = "--log-level must be info, warn or error";
    else if (o.timeoutMs <= 0) result.error = "--timeout must be above 0";
    else if (o.closeWaitMs < 0) result.error = "--close-wait must be 0 or more";
    return result;
}

int logLevelCode(const std::string& word) {
    if (word == "info") return kra::LOG_LEVEL_INFO;
    if (word == "warn") return kra::LOG_LEVEL_WARN;
    if (word == "error") return kra::LOG_LEVEL_ERROR;
    return 0;
}

std::unique_ptr<kra::NXSMapNode> makeTraderConfig(const HostOptions& options) {
    auto node = std::make_unique<kra::NXSMapNode>();
    node->set("host", options.host)
        .set("port", std::to_string(options.port))
        .set("folder", options.folder)
        .set("pushmode", std::to_string(options.pushMode))
        .set("nodelay", std::to_string(options.nodelay))
        .set("peertimeout", std::to_string(options.peerTimeout));
    if (options.threads == "shared")
        node->set("threads", "shared").set("poolthreads", std::to_string(options.poolThreads));
    return node;
}

}  // namespace hvr::cli
