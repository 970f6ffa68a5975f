#include "Figures.h"

#include <cstdio>

#include "host/NXSConfigNode.h"

namespace hvr::bench {

std::unique_ptr<TraderHVR> makeTrader(const Options& options, uint16_t port, BenchListener& listener) {
    auto trader = std::make_unique<TraderHVR>();
    kra::NXSMapNode config;
    config.set("host", "127.0.0.1").set("port", std::to_string(port)).set("folder", options.folder).set("pushmode", "1");
    trader->init(&config);
    trader->registerListener(&listener);
    return trader;
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

}  // namespace hvr::bench
