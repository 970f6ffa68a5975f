#include "EventLog.h"

#include <chrono>
#include <ctime>
#include <iostream>

namespace hvr::sim {

void logEvent(const std::string& line) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(millis));
    std::cerr << (std::string(stamp) + " hvr-sim " + line + "\n") << std::flush;
}

}  // namespace hvr::sim
