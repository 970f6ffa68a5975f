// hvr-host: a reference trading host for libTraderHVR.so. It loads the module
// with dlopen as a trading host does, drives it from commands typed at the
// prompt or read from a script, and prints every listener event.
//
// Exit status: 0 after a clean session; 1 for a wrong command line, an
// unreadable file or a module that cannot be loaded; 2 when the session
// failed (no connection within the timeout, login refused, a script line
// wrong or failed).
#include <unistd.h>

#include <fstream>
#include <iostream>

#include "cli/CommandLoop.h"
#include "cli/CommandParser.h"
#include "cli/CommandRunner.h"
#include "cli/Console.h"
#include "cli/ConsoleListener.h"
#include "cli/ContractCatalogFromConfig.h"
#include "cli/HostOptions.h"
#include "cli/TraderModule.h"

#ifndef HVR_DEFAULT_MODULE
#define HVR_DEFAULT_MODULE "libTraderHVR.so"
#endif

namespace {

using namespace hvr::cli;

constexpr int EXIT_USAGE = 1;
constexpr int EXIT_SESSION_FAILED = 2;

std::string summaryLine(const SessionFacts& f) {
    return "session summary: " + std::to_string(f.acceptedOrders) + " orders accepted, " +
           std::to_string(f.refusedOrders) + " refused; " + std::to_string(f.orderPushes) + " order pushes, " +
           std::to_string(f.tradePushes) + " trade pushes, " + std::to_string(f.duplicatePushes) +
           " duplicate pushes";
}

// Runs the session over a loaded module; the listener, catalog and state
// outlive the trader, which is released and deleted before returning.
int runSession(const TraderModule& module, const HostOptions& options, kra::IContractCatalog& catalog) {
    Console console(std::cout);
    SessionState state;
    if (!options.user.empty())
        state.update([&](SessionFacts& f) { f.credentials = Credentials{options.user, options.password, options.resource}; });
    ConsoleListener listener(console, state, &catalog);

    kra::ITraderApi* trader = module.createTrader();
    if (trader == nullptr) {
        std::cerr << "hvr-host: createTrader returned null\n";
        return EXIT_USAGE;
    }
    try {
        const auto config = makeTraderConfig(options);
        trader->init(config.get());
    } catch (const std::exception& e) {
        std::cerr << "hvr-host: the trader refused its configuration: " << e.what() << "\n";
        module.deleteTrader(trader);
        return EXIT_USAGE;
    }
    listener.attach(trader);
    trader->registerListener(&listener);

    LoopResult result = LoopResult::Finished;
    {
        CommandRunner runner(*trader, state, console, std::chrono::milliseconds(options.timeoutMs), options.resource);
        if (!options.script.empty()) {
            std::ifstream script(options.script);
            if (!script) {
                std::cerr << "hvr-host: cannot open script '" << options.script << "'\n";
                module.deleteTrader(trader);
                return EXIT_USAGE;
            }
            result = runCommandLoop(script, LoopMode{true, options.script, false}, runner, console);
        } else {
            result = runCommandLoop(std::cin, LoopMode{false, "", isatty(STDIN_FILENO) != 0}, runner, console);
        }
    }

    console.print("releasing the trader");
    trader->release();
    module.deleteTrader(trader);
    console.print("released");
    const auto [summary, sessionFailed] =
        state.read([](const SessionFacts& f) { return std::make_pair(summaryLine(f), f.sessionFailed); });
    console.print(summary);
    return result == LoopResult::Failed || sessionFailed ? EXIT_SESSION_FAILED : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const ParsedOptions parsed = parseHostOptions(std::vector<std::string>(argv + 1, argv + argc), HVR_DEFAULT_MODULE);
    if (!parsed.error.empty()) {
        std::cerr << "hvr-host: " << parsed.error << "\n(see hvr-host --help)\n";
        return EXIT_USAGE;
    }
    if (parsed.showHelp) {
        std::cout << parsed.helpText << "\n" << helpText();
        return 0;
    }
    const HostOptions& options = parsed.options;

    hvr::tools::TradingConfig tradingConfig;
    try {
        tradingConfig = options.instrumentsConfig.empty() ? hvr::tools::defaultTradingConfig()
                                                          : hvr::tools::loadTradingConfig(options.instrumentsConfig);
    } catch (const hvr::tools::ConfigError& e) {
        std::cerr << "hvr-host: " << e.what() << "\n";
        return EXIT_USAGE;
    }
    const auto catalog = makeContractCatalog(tradingConfig);

    std::string error;
    const auto module = TraderModule::load(options.module, error);
    if (!module) {
        std::cerr << "hvr-host: cannot load the trader module: " << error << "\n";
        return EXIT_USAGE;
    }
    return runSession(*module, options, *catalog);
}
