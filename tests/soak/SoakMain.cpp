// hvr-soak: the randomized fault soak of the trader module against hvr-sim.
//
//   hvr-soak --module PATH/libTraderHVR.so --sim PATH/hvr-sim [--seconds N] [--seed N]
//            [--listener-throws on|off] [--keep-files on|off]
//   hvr-soak --seed N --plans N
//
// --plans N prints what the first N rounds of the seed will do and exits; it
// runs nothing, so it needs neither the module nor the simulator.
// Prints the seed first; a failure prints what was violated, where, and the
// command that replays the same random choices.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SoakDriver.h"

int main(int argc, char** argv) {
    hvr::soak::SoakOptions options;
    options.seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000000ULL;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const char* value = argv[i + 1];
        if (flag == "--module")
            options.modulePath = value;
        else if (flag == "--sim")
            options.simPath = value;
        else if (flag == "--seconds")
            options.seconds = std::atof(value);
        else if (flag == "--seed" && *value != '\0')
            options.seed = std::strtoull(value, nullptr, 10);
        else if (flag == "--listener-throws")
            options.listenerThrows = std::strcmp(value, "off") != 0;
        else if (flag == "--plans")
            options.planRounds = std::atoi(value);
        else if (flag == "--keep-files")
            options.keepFiles = std::strcmp(value, "on") == 0;
        else if (flag != "--seed") {
            std::fprintf(stderr, "hvr-soak: unknown flag %s\n", flag.c_str());
            return 2;
        }
    }
    const bool planOnly = options.planRounds > 0;
    if ((!planOnly && (options.modulePath.empty() || options.simPath.empty() || options.seconds <= 0)) ||
        argc % 2 == 0) {
        std::fprintf(stderr,
                     "usage: hvr-soak --module LIB --sim HVR_SIM [--seconds N] [--seed N] [--listener-throws on|off]\n"
                     "                [--keep-files on|off]\n"
                     "       hvr-soak --seed N --plans N\n");
        return 2;
    }
    return hvr::soak::runSoak(options);
}
