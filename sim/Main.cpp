// hvr-sim: the simulated trading server. See sim/README.md.
#include <iostream>
#include <string>
#include <vector>

#include "DatabaseLock.h"
#include "DumpCommand.h"
#include "EventLog.h"
#include "Options.h"
#include "SimApp.h"

namespace {

// Exit codes, as sim/README.md lists them.
constexpr int EXIT_STOPPED = 0;
constexpr int EXIT_START_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_DATABASE_UNUSABLE = 3;  // in use by another server, or not readable

// A start-up failure goes to stderr, and into the log file when there is one.
void reportStartFailure(const hvr::sim::SimOptions& options, const std::string& what) {
    if (!options.log.file.empty()) hvr::sim::logError(what);
    std::cerr << "hvr-sim: " << what << "\n";
}

int serve(const hvr::sim::SimOptions& options) {
    try {
        hvr::sim::configureEventLog(options.log);
    } catch (const std::exception& e) {
        std::cerr << "hvr-sim: " << e.what() << "\n";
        return EXIT_START_FAILED;
    }
    try {
        hvr::sim::SimApp app(options);
        app.catchSignals();
        app.announce();
        app.run();
        hvr::sim::logEvent("stopped");
        return EXIT_STOPPED;
    } catch (const hvr::sim::DatabaseInUse& e) {
        reportStartFailure(options, e.what());
        return EXIT_DATABASE_UNUSABLE;
    } catch (const hvr::sim::DatabaseUnreadable& e) {
        reportStartFailure(options, e.what());
        return EXIT_DATABASE_UNUSABLE;
    } catch (const std::exception& e) {
        reportStartFailure(options, e.what());
        return EXIT_START_FAILED;
    }
}

}  // namespace

int main(int argc, char** argv) {
    using hvr::sim::CommandLine;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "dump")
        return hvr::sim::runDump(std::vector<std::string>(args.begin() + 1, args.end()), std::cout, std::cerr);
    const CommandLine commandLine = hvr::sim::parseCommandLine(args);
    switch (commandLine.action) {
        case CommandLine::Action::Help:
        case CommandLine::Action::Version:
            std::cout << commandLine.text;
            return EXIT_STOPPED;
        case CommandLine::Action::Error:
            std::cerr << "hvr-sim: " << commandLine.text << "\n";
            return EXIT_USAGE;
        default:
            return serve(commandLine.options);
    }
}
