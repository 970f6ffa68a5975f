// Fixed-point arithmetic of the simulator. Every price and every sum of money
// is an integer in 1/10000 units (FIXED_SCALE), as on the wire. Products of
// price, volume and multiplier are formed in 128 bits so that an absurd order
// volume is refused by the money check instead of overflowing. Pure.
#pragma once

#include <cmath>
#include <cstdint>

namespace hvr::sim {

constexpr int64_t FIXED_SCALE = 10000;

using Wide = __int128;

// units (a price or an amount of money in currency units) in 1/10000 units.
inline int64_t toFixed(double units) {
    return static_cast<int64_t>(std::llround(units * static_cast<double>(FIXED_SCALE)));
}

// price x volume x multiplier: the traded amount of a fill, in 1/10000 units.
inline Wide tradedAmount(int64_t price, uint64_t volume, uint32_t multiplier) {
    return static_cast<Wide>(price) * static_cast<Wide>(volume) * static_cast<Wide>(multiplier);
}

// amount x ratio, rounded to the nearest 1/10000 unit (margins, commissions).
inline Wide applyRatio(Wide amount, double ratio) {
    return static_cast<Wide>(std::llroundl(static_cast<long double>(amount) * static_cast<long double>(ratio)));
}

// part / whole of value, for releasing a share of a position's cost or margin.
// REQUIRES: whole > 0 and part <= whole.
inline int64_t proportion(int64_t value, uint64_t part, uint64_t whole) {
    return static_cast<int64_t>(static_cast<Wide>(value) * static_cast<Wide>(part) / static_cast<Wide>(whole));
}

}  // namespace hvr::sim

#include <string>

namespace hvr::sim {

// value in 1/10000 units as a decimal text without trailing zeros
// ("3500.2", "-0.0001", "42"), for log lines and refusal messages.
inline std::string formatFixed(int64_t value) {
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string text = std::to_string(magnitude / FIXED_SCALE);
    uint64_t fraction = magnitude % FIXED_SCALE;
    if (fraction != 0) {
        std::string digits = std::to_string(fraction + FIXED_SCALE).substr(1);
        while (digits.back() == '0') digits.pop_back();
        text += "." + digits;
    }
    return negative ? "-" + text : text;
}

}  // namespace hvr::sim
