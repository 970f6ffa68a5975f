// A flow file's bytes as tests read them back and write them by hand: 12
// bytes, little-endian, the push id at offset 0 and the trading date at 8.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

namespace hvr::test {

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline uint64_t le64At(const std::string& bytes, std::size_t offset) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + static_cast<std::size_t>(i)]);
    return v;
}

// The 12 bytes of a record holding pushId and tradingDate.
inline std::string flowBytes(uint64_t pushId, uint32_t tradingDate) {
    std::string bytes(12, '\0');
    for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(pushId >> (8 * i));
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(8 + i)] = static_cast<char>(tradingDate >> (8 * i));
    return bytes;
}

}  // namespace hvr::test
