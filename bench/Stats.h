// Order statistics of latency samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hvr::bench {

// The sample at quantile q (0 <= q <= 1) by the nearest-rank rule: the
// smallest value with at least q of the samples at or below it. Reorders
// samples. REQUIRES: samples not empty.
inline int64_t quantile(std::vector<int64_t>& samples, double q) {
    std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(samples.size()) + 0.999999);
    if (rank == 0) rank = 1;
    if (rank > samples.size()) rank = samples.size();
    auto nth = samples.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(samples.begin(), nth, samples.end());
    return *nth;
}

}  // namespace hvr::bench
