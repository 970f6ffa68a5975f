// hvr-host: a reference trading host for libTraderHVR.so. It loads the module
// with dlopen as a trading host does, drives it from commands typed at the
// prompt or read from a script, and prints every listener event.
//
// Exit status: 0 after a clean session, also when SIGINT or SIGTERM ended it;
// 1 when the session failed (no connection within the timeout, login refused,
// a script line or a piped line wrong or failed, answers still missing when
// it ended) or a file or the module cannot be used; 2 for a wrong command
// line.
#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <csignal>
#include <fstream>
#include <iostream>

#include "cli/CommandLoop.h"
#include "cli/CommandParser.h"
#include "cli/CommandRunner.h"
#include "cli/Console.h"
#include "cli/ConsolePresenter.h"
#include "cli/ContractCatalogFromConfig.h"
#include "cli/HostAddress.h"
#include "cli/HostOptions.h"
#include "cli/LineEditor.h"
#include "cli/LineSource.h"
#include "cli/ModuleLocation.h"
#include "cli/PasswordSource.h"
#include "cli/SignalWatcher.h"
#include "common/TraderModule.h"

namespace {

using namespace hvr::cli;
using hvr::tools::TraderModule;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr char PROMPT[] = "hvr> ";

// The words tab completes at the start of a line.
const std::vector<std::string> COMMAND_WORDS = {
    "connect", "disconnect", "login", "logout", "buy",    "sell",   "cancel", "funds", "positions", "orders",
    "trades",  "book",       "doubt", "reconcile", "wait", "await", "expect", "sleep", "status", "help",  "quit"};

std::string summaryLine(const hvr::tools::SessionCounts& c) {
    return "session summary: " + std::to_string(c.acceptedOrders) + " orders accepted, " +
           std::to_string(c.refusedOrders) + " refused; " + std::to_string(c.orderPushes) + " order pushes, " +
           std::to_string(c.tradePushes) + " trade pushes, " + std::to_string(c.duplicatePushes) +
           " duplicate pushes; " + std::to_string(c.reconciliations) + " reconciliations, " +
           std::to_string(c.differences) + " differences";
}

bool readLines(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream in(path);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return true;
}

// Where interactive input comes from, reachable by the signal thread. The
// lock keeps the source alive while the signal thread interrupts it.
class CurrentInput {
public:
    void set(LineSource* source, const hvr::tools::SessionCore& state) {
        std::lock_guard<std::mutex> guard(lock);
        input = source;
        if (input != nullptr && state.interrupted()) input->interrupt();  // a signal came first
    }
    void interrupt() {
        std::lock_guard<std::mutex> guard(lock);
        if (input != nullptr) input->interrupt();
    }

private:
    std::mutex lock;
    LineSource* input = nullptr;
};

CurrentInput currentInput;

// Runs the session over a loaded module; the core, the presenter and the
// catalog outlive the trader, which is released and deleted before returning.
int runSession(const TraderModule& module, const HostOptions& options, const std::vector<std::string>& script,
               Console& console, ConsolePresenter& presenter, hvr::tools::SessionCore& core) {
    using hvr::tools::SessionState;
    presenter.setLogLevel(logLevelCode(options.logLevel));
    // Not connected yet: the core logs in with them at the first connect.
    if (!options.user.empty()) core.login(hvr::tools::Credentials{options.user, options.password, options.resource});

    kra::ITraderApi* trader = module.createTrader();
    if (trader == nullptr) {
        std::cerr << "hvr-host: createTrader returned null\n";
        return EXIT_FAILED;
    }
    const auto config = makeTraderConfig(options);
    try {
        trader->init(config.get());
    } catch (const std::exception& e) {
        std::cerr << "hvr-host: the trader refused its configuration: " << e.what() << "\n";
        module.deleteTrader(trader);
        return EXIT_FAILED;
    }
    core.attach(trader);
    trader->registerListener(&core);

    LoopResult result = LoopResult::Finished;
    {
        CommandRunner runner(*trader, core, console, presenter, std::chrono::milliseconds(options.timeoutMs),
                             options.resource, *config);
        if (!options.script.empty()) {
            result = runScript(script, options.script, runner, console, core);
        } else {
            const bool terminal = isatty(STDIN_FILENO) != 0 && !options.json;
            bool connectFailed = false;
            if (!options.user.empty()) {
                // With --user the session starts connected and logged in, at
                // the prompt and reading a pipe alike.
                Command connect;
                connect.kind = CommandKind::Connect;
                const Outcome outcome = runner.execute(connect);
                if (outcome.kind == Outcome::Failed) {
                    console.error("failed: " + outcome.message);
                    connectFailed = true;
                }
            }
            if (terminal) {
                LineEditor editor(console, std::cout, PROMPT, LineEditor::defaultHistoryPath(), COMMAND_WORDS);
                runner.setPasswordPrompt([&editor](const std::string& prompt) { return editor.readPassword(prompt); });
                currentInput.set(&editor, core);
                result = runInteractive(editor, runner, console, core, false);
                currentInput.set(nullptr, core);
                runner.setPasswordPrompt(nullptr);
            } else {
                FdLineSource input(STDIN_FILENO);
                currentInput.set(&input, core);
                result = runInteractive(input, runner, console, core, true);
                currentInput.set(nullptr, core);
                if (connectFailed && result == LoopResult::Finished) result = LoopResult::Failed;
            }
        }
    }

    // Answers of requests already sent are waited for (not after a signal:
    // the operator asked to stop), then whatever is still missing is said.
    const std::chrono::milliseconds closeWait(result == LoopResult::Interrupted ? 0 : options.closeWaitMs);
    const std::string awaited =
        core.read([](const SessionState& s) { return s.connected() ? outstandingText(s) : std::string(); });
    if (!awaited.empty() && closeWait.count() > 0)
        console.print("waiting up to " + std::to_string(closeWait.count()) + " ms for " + awaited);
    const hvr::tools::Unanswered unanswered = core.finish(closeWait);
    console.print("releasing the trader");
    trader->release();  // logs out first
    core.attach(nullptr);
    module.deleteTrader(trader);
    console.print("released");
    if (!unanswered.empty()) presenter.printUnanswered(unanswered);
    const auto [summary, sessionFailed] =
        core.read([](const SessionState& s) { return std::make_pair(summaryLine(s.counts()), s.failing()); });
    console.print(summary);
    if (result == LoopResult::Interrupted) return 0;
    return result == LoopResult::Failed || sessionFailed || !unanswered.empty() ? EXIT_FAILED : 0;
}

// The header of this run in the session log file.
SessionStart sessionStart(const HostOptions& o, const std::vector<std::string>& arguments) {
    SessionStart start;
    start.version = HVR_VERSION;
    start.startedAt = std::chrono::system_clock::now();
    start.pid = ::getpid();
    if (const passwd* entry = ::getpwuid(::geteuid())) start.systemUser = entry->pw_name;
    else start.systemUser = "uid " + std::to_string(::geteuid());
    char machine[256] = {};
    if (::gethostname(machine, sizeof machine - 1) == 0) start.machine = machine;
    start.server = (o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host) + ":" + std::to_string(o.port);
    start.user = o.user;
    start.arguments = maskedArguments(arguments);
    start.settings = {{"folder", o.folder},
                      {"pushmode", std::to_string(o.pushMode)},
                      {"nodelay", std::to_string(o.nodelay)},
                      {"peertimeout", std::to_string(o.peerTimeout)},
                      {"reconcile", std::to_string(o.reconcile)},
                      {"resource", o.resource},
                      {"timeout", std::to_string(o.timeoutMs)},
                      {"close-wait", std::to_string(o.closeWaitMs)},
                      {"log-level", o.logLevel},
                      {"config", o.instrumentsConfig.empty() ? "(built-in)" : o.instrumentsConfig},
                      {"script", o.script.empty() ? "(none: interactive)" : o.script},
                      {"module", o.module}};
    return start;
}

std::string defaultModule() {
    return defaultModulePath(executableDir(), {HVR_INSTALLED_MODULE_FROM_BIN, HVR_BUILT_MODULE_FROM_BIN},
                             HVR_MODULE_SONAME);
}

// Loads the module and runs the session; the exit status.
int runHost(const HostOptions& options, const std::vector<std::string>& script, Console& console,
            kra::IContractCatalog* catalog);

}  // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    ParsedOptions parsed = parseHostOptions(arguments, defaultModule());
    if (parsed.showHelp) {
        std::cout << parsed.helpText << "\n" << helpText();
        return 0;
    }
    if (parsed.showVersion) {
        std::cout << "hvr-host " << HVR_VERSION << "\n";
        return 0;
    }
    if (!parsed.error.empty()) {
        std::cerr << "hvr-host: " << parsed.error << "\n(see hvr-host --help)\n";
        return EXIT_USAGE;
    }
    HostOptions& options = parsed.options;
    if (!options.user.empty() && options.password.empty()) {
        // Not on the command line, where ps shows it.
        const std::optional<std::string> password = passwordFor(options.user);
        if (!password) {
            std::cerr << "hvr-host: --user " << options.user << " needs a password: set " << PASSWORD_VARIABLE
                      << ", run at a terminal to be asked, or give --password\n";
            return EXIT_USAGE;
        }
        options.password = *password;
    }

    std::vector<std::string> script;
    if (!options.script.empty()) {
        if (!readLines(options.script, script)) {
            std::cerr << "hvr-host: cannot open script '" << options.script << "'\n";
            return EXIT_FAILED;
        }
        // Before anything else: a wrong line is reported before any command runs.
        const std::string wrong = checkScript(script, options.script);
        if (!wrong.empty()) {
            std::cerr << "hvr-host: error: " << wrong << " (nothing was run)\n";
            return EXIT_FAILED;
        }
    }

    const ResolvedHost host = resolveHost(options.host);
    if (host.address.empty()) {
        std::cerr << "hvr-host: --host: " << host.error << "\n";
        return EXIT_FAILED;
    }
    options.host = host.address;

    hvr::tools::TradingConfig tradingConfig;
    try {
        tradingConfig = options.instrumentsConfig.empty() ? hvr::tools::defaultTradingConfig()
                                                          : hvr::tools::loadTradingConfig(options.instrumentsConfig);
    } catch (const hvr::tools::ConfigError& e) {
        std::cerr << "hvr-host: " << e.what() << "\n";
        return EXIT_FAILED;
    }
    const auto catalog = makeContractCatalog(tradingConfig);

    Console console(std::cout, options.json ? Console::Form::Json : Console::Form::Text);
    if (!options.logFile.empty() && !console.openLogFile(options.logFile)) {
        std::cerr << "hvr-host: cannot open --log-file '" << options.logFile << "'\n";
        return EXIT_FAILED;
    }
    console.logSessionStart(sessionStart(options, arguments));
    const int status = runHost(options, script, console, catalog.get());
    console.logSessionEnd(status);
    return status;
}

namespace {

int runHost(const HostOptions& options, const std::vector<std::string>& script, Console& console,
            kra::IContractCatalog* catalog) {
    ConsolePresenter presenter(console);
    hvr::tools::SessionCore core(presenter, catalog, options.reconcile == 1);
    // Before the module starts any thread, so that every thread inherits the
    // blocked signals and only the watcher takes them.
    SignalWatcher signals([&](int signal) {
        console.print(std::string("interrupted by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                      ": logging out and releasing the trader (again to quit at once)");
        core.interrupt();
        currentInput.interrupt();
    });

    std::string error;
    const auto module = TraderModule::load(options.module, error);
    if (!module) {
        std::cerr << "hvr-host: cannot load the trader module: " << error << "\n";
        return EXIT_FAILED;
    }
    return runSession(*module, options, script, console, presenter, core);
}

}  // namespace
