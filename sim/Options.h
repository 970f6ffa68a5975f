// The command line of hvr-sim, parsed into SimOptions. Pure apart from
// reading today's date for the default trading date.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "EventLog.h"
#include "Faults.h"

namespace hvr::sim {

struct SimOptions {
    std::string listen = "127.0.0.1";  // a loopback address only
    uint16_t port = 0;                 // 0 = any free port
    std::string portFile;              // empty = none
    std::string configFile;            // empty = built-in defaults
    std::string db = "hvr-sim.db";
    bool freshDay = false;
    uint32_t tradingDate = 0;  // of a new day; 0 = today
    std::size_t compressThreshold = 1024;
    double idleTimeoutSeconds = 30;
    double loginTimeoutSeconds = 60;   // a connection must log in within this
    std::size_t maxConnections = 256;  // sessions open at once; more are accepted and closed
    double heartbeatSeconds = 5;       // a heartbeat on each logged-in connection; 0 = none
    EventLogSettings log;
    bool partialFills = false;
    std::optional<uint64_t> randomWalkSeed;  // the walk runs only with a seed
    unsigned randomWalkMs = 1000;
    std::string requestJournal;  // empty = none
    FaultSettings faults;        // every fault off by default (Faults.h)
};

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    SimOptions options;
    std::string text;  // the help or version text, or what is wrong
};

CommandLine parseCommandLine(const std::vector<std::string>& args);  // args without the program name

// True for YYYYMMDD values naming a real calendar day.
bool validTradingDate(uint32_t date);

// Today's local date as YYYYMMDD.
uint32_t todayTradingDate();

}  // namespace hvr::sim
