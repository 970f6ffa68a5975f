// The text of a locally made entrust id: "<trading date>.<session id>.<n>",
// the sequence number with at least six digits ("%u.%u.%06u").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace hvr {

// Longest id: two ten-digit numbers, a ten-digit sequence and two dots.
constexpr std::size_t ENTRUST_ID_MAX_LENGTH = 32;

// Writes the id into out (zero-terminated) and returns its length, or 0 when
// out cannot hold all of it and its terminating zero.
inline std::size_t formatEntrustId(char* out, std::size_t capacity, uint32_t tradingDate, uint32_t sessionId,
                                   uint32_t sequence) {
    char text[ENTRUST_ID_MAX_LENGTH + 8];
    const int length = std::snprintf(text, sizeof text, "%u.%u.%06u", tradingDate, sessionId, sequence);
    if (length <= 0 || static_cast<std::size_t>(length) >= capacity) return 0;
    for (int i = 0; i <= length; ++i) out[i] = text[i];
    return static_cast<std::size_t>(length);
}

}  // namespace hvr
