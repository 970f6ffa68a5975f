// Figure 5, footprint: resident memory and threads per trader object with 1,
// 10 and 100 traders connected and logged in to one hvr-sim.
#include <dirent.h>

#include <fstream>
#include <stdexcept>
#include <thread>

#include "Figures.h"

namespace hvr::bench {

namespace {

constexpr std::chrono::seconds LIMIT{30};

// VmRSS of this process in KiB.
double residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stod(line.substr(6));
    }
    throw std::runtime_error("no VmRSS in /proc/self/status");
}

// Entries of /proc/self/task: the process's threads.
int threadCount() {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/task");
    int n = 0;
    while (dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n;
}

}  // namespace

std::vector<Row> runFootprint(const Options& options) {
    if (options.simPort == 0) return {{"footprint per trader (not run: no hvr-sim port given)", "-", "-", "-"}};
    const double rssBefore = residentKiB();
    const int threadsBefore = threadCount();

    BenchListener listener;
    std::vector<std::unique_ptr<TraderHVR>> traders;
    std::vector<Row> rows;
    for (std::size_t target : {std::size_t{1}, std::size_t{10}, std::size_t{100}}) {
        const std::size_t first = traders.size();
        while (traders.size() < target) {
            traders.push_back(makeTrader(options, options.simPort, listener));
            traders.back()->connect();
        }
        if (!listener.waitFor(listener.connects, target, LIMIT)) throw std::runtime_error("footprint: connects timed out");
        for (std::size_t i = first; i < target; ++i) traders[i]->login("demo", "demo", "bench");
        if (!listener.waitFor(listener.logins, target, LIMIT) || listener.loginFailures.load() != 0)
            throw std::runtime_error("footprint: logins failed or timed out");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let answers and replays settle
        const double n = static_cast<double>(target);
        const double rssPer = (residentKiB() - rssBefore) / n;
        const double threadsPer = (threadCount() - threadsBefore) / n;
        const std::string label = std::to_string(target) + " trader" + (target > 1 ? "s" : "") + " logged in";
        rows.push_back({"resident memory per trader, KiB (" + label + ")", formatFixed(rssPer, 0),
                        formatFixed(rssBefore, 0) + " before any", "-"});
        rows.push_back({"threads per trader (" + label + ")", formatFixed(threadsPer, 2),
                        std::to_string(threadsBefore) + " before any", "-"});
    }
    for (auto& t : traders) t->release();
    return rows;
}

}  // namespace hvr::bench
