#include "Figures.h"

#include <cstdio>

#include "host/NXSConfigNode.h"

namespace hvr::bench {

std::unique_ptr<TraderHVR> makeTrader(const Options& options, uint16_t port, BenchListener& listener,
                                      bool noDelay, Threads threads) {
    auto trader = std::make_unique<TraderHVR>();
    kra::NXSMapNode config;
    config.set("host", "127.0.0.1").set("port", std::to_string(port)).set("folder", options.folder).set("pushmode", "1");
    if (noDelay) config.set("nodelay", "1");
    if (threads == Threads::Shared)
        config.set("threads", "shared").set("poolthreads", std::to_string(options.poolThreads));
    trader->init(&config);
    trader->registerListener(&listener);
    return trader;
}

std::string threadsName(const Options& options, Threads threads) {
    if (threads == Threads::Own) return "own thread each";
    const unsigned pool = options.poolThreads != 0 ? options.poolThreads : NetworkPool::defaultThreadCount();
    return "shared pool of " + std::to_string(pool) + " thread" + (pool == 1 ? "" : "s");
}

std::string formatFixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string formatCount(double value) {
    std::string digits = formatFixed(value, 0);
    std::string out;
    const std::size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i >= lead && (i - lead) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string ratioText(double adapterCost, double baselineCost) {
    if (baselineCost <= 0) return "-";
    return formatFixed(adapterCost / baselineCost, 2) + "x";
}

namespace {

std::string goalText(const char* relation, double limit, bool met) {
    return std::string(relation) + " " + formatFixed(limit, 2) + "x: " + (met ? "met" : "NOT met");
}

}  // namespace

std::string goalAtMost(double adapter, double baseline, double limit) {
    if (baseline <= 0) return "-";
    return goalText("<=", limit, adapter / baseline <= limit);
}

std::string goalAtLeast(double adapter, double baseline, double limit) {
    if (baseline <= 0) return "-";
    return goalText(">=", limit, adapter / baseline >= limit);
}

}  // namespace hvr::bench
