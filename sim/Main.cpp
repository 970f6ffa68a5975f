// hvr-sim: the simulated trading server. See sim/README.md.
#include <iostream>
#include <string>
#include <vector>

#include "EventLog.h"
#include "Options.h"
#include "SimApp.h"

int main(int argc, char** argv) {
    using hvr::sim::CommandLine;
    const CommandLine commandLine = hvr::sim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (commandLine.action == CommandLine::Action::Help) {
        std::cout << commandLine.text;
        return 0;
    }
    if (commandLine.action == CommandLine::Action::Error) {
        std::cerr << "hvr-sim: " << commandLine.text << "\n";
        return 2;
    }
    try {
        hvr::sim::SimApp app(commandLine.options);
        app.announce();
        app.run(true);
        hvr::sim::logEvent("stopped");
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "hvr-sim: " << e.what() << "\n";
        return 1;
    }
}
