// A seeded random walk of last prices. Each step moves every instrument by
// -1, 0 or +1 tick, kept within half the instrument's band around the price
// it started from (so orders near the start price stay valid). The same seed
// gives the same walk. Pure.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Records.h"

namespace hvr::sim {

class PriceWalk {
public:
    PriceWalk(uint64_t seed, const std::map<std::string, InstrumentTerms>& instruments);

    // One step: the (code, new last price) of every instrument that moved,
    // in code order.
    std::vector<std::pair<std::string, int64_t>> step();

private:
    struct Walker {
        std::string code;
        int64_t tick = 1;
        int64_t last = 0;
        int64_t lowest = 0;
        int64_t highest = 0;
    };
    std::mt19937_64 random_;
    std::vector<Walker> walkers_;
};

}  // namespace hvr::sim
