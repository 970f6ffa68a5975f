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
    std::string ratio;  // adapter cost / baseline cost; "-" where none applies
};

struct Options {
    std::string folder;    // scratch folder for flow files, ends with '/'
    uint16_t simPort = 0;  // a running hvr-sim for the footprint; 0 = skip it
};

std::vector<Row> runInboundInProcess(const Options& options);
std::vector<Row> runInboundLoopback(const Options& options);
std::vector<Row> runOutbound(const Options& options);
std::vector<Row> runRoundTrip(const Options& options);
std::vector<Row> runFootprint(const Options& options);

// --- shared helpers (Figures.cpp) ---

// A trader made in process (not through dlopen), configured for 127.0.0.1:port
// with flow files under folder, with listener registered. Not connected.
std::unique_ptr<TraderHVR> makeTrader(const Options& options, uint16_t port, BenchListener& listener);

std::string formatFixed(double value, int decimals);
std::string formatCount(double value);  // 1234567 -> "1,234,567"
std::string ratioText(double adapterCost, double baselineCost);

}  // namespace hvr::bench
