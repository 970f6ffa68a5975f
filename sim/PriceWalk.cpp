#include "PriceWalk.h"

#include <cmath>

namespace hvr::sim {

PriceWalk::PriceWalk(uint64_t seed, const std::map<std::string, InstrumentTerms>& instruments) : random_(seed) {
    for (const auto& [code, entry] : instruments) {
        Walker w;
        w.code = code;
        w.tick = entry.tick;
        w.last = entry.last;
        const auto reach = static_cast<int64_t>(std::floor(static_cast<double>(entry.last) * entry.band / 2.0));
        // Bounds on the tick grid, so a walked price is always a valid limit price.
        w.lowest = std::max<int64_t>(entry.tick, (entry.last - reach + entry.tick - 1) / entry.tick * entry.tick);
        w.highest = (entry.last + reach) / entry.tick * entry.tick;
        walkers_.push_back(w);
    }
}

std::vector<std::pair<std::string, int64_t>> PriceWalk::step() {
    std::vector<std::pair<std::string, int64_t>> moved;
    for (Walker& w : walkers_) {
        const int64_t ticks = static_cast<int64_t>(random_() % 3) - 1;
        const int64_t next = w.last + ticks * w.tick;
        if (ticks == 0 || next < w.lowest || next > w.highest) continue;
        w.last = next;
        moved.emplace_back(w.code, next);
    }
    return moved;
}

}  // namespace hvr::sim
