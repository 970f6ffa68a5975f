// The figures of the benchmark table. Each run function measures the adapter
// and its baseline in the same process, one after the other, and returns
// finished table rows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "trader/TraderHVR.h"
#include "BenchListener.h"

namespace hvr::bench {

struct Row {
    std::string figure;
    std::string adapter;
    std::string baseline;
    std::string ratio;       // adapter cost / baseline cost unless the figure says otherwise; "-" where none applies
    std::string goal = "-";  // the goal and whether this run met it; "-" where there is none
};

// How the traders of a figure run their network side.
enum class Threads { Own, Shared };

struct Options {
    std::string folder;         // scratch folder for flow files, ends with '/'
    std::size_t many = 10000;   // traders of the scale10k figure (--many N)
    Threads manyThreads = Threads::Shared;  // the scale10k figure's mode (--threads own|shared)
    unsigned poolThreads = 0;   // the shared mode's pool (--pool N); 0: one per CPU
};

std::vector<Row> runInboundInProcess(const Options& options);
std::vector<Row> runInboundLoopback(const Options& options);
std::vector<Row> runOutbound(const Options& options);
std::vector<Row> runRoundTrip(const Options& options);
std::vector<Row> runOrderPair(const Options& options);
std::vector<Row> runFootprint(const Options& options);
std::vector<Row> runScale(const Options& options);
std::vector<Row> runScaleMany(const Options& options);  // 10,000 traders: not in the default run

// --- shared helpers (Figures.cpp) ---

// A trader made in process (not through dlopen), configured for 127.0.0.1:port
// with flow files under folder, with listener registered. Not connected.
// noDelay sets the init key "nodelay" to 1 (a module that does not know the
// key ignores it); Threads::Shared the keys threads=shared and poolthreads.
std::unique_ptr<TraderHVR> makeTrader(const Options& options, uint16_t port, BenchListener& listener,
                                      bool noDelay = false, Threads threads = Threads::Own);
// "own thread each" or "shared pool of N threads".
std::string threadsName(const Options& options, Threads threads);

std::string formatFixed(double value, int decimals);
std::string formatCount(double value);  // 1234567 -> "1,234,567"
std::string ratioText(double adapterCost, double baselineCost);
// "<= 1.25x: met" when adapter / baseline is at most limit, else "... NOT met".
std::string goalAtMost(double adapter, double baseline, double limit);
// ">= 0.90x: met" when adapter / baseline is at least limit, else "... NOT met".
std::string goalAtLeast(double adapter, double baseline, double limit);

}  // namespace hvr::bench
