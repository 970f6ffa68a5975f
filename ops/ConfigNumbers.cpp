#include "ops/ConfigNumbers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace hvr {

bool isWholeNumber(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

ConfigNumber<uint16_t> portOf(const std::string& text, int nodeValue) {
    ConfigNumber<uint16_t> port;
    port.value = static_cast<uint16_t>(nodeValue & 0xFFFF);
    errno = 0;
    const long long written = isWholeNumber(text) ? std::strtoll(text.c_str(), nullptr, 10) : 0;
    port.suspicious = errno == ERANGE || written < 1 || written > 65535;
    return port;
}

ConfigNumber<int> peerTimeoutOf(const std::string& text, int nodeValue, int maxSeconds) {
    ConfigNumber<int> timeout;
    timeout.value = std::clamp(nodeValue, 0, maxSeconds);
    if (text.empty()) return timeout;
    errno = 0;
    const long long written = std::strtoll(text.c_str(), nullptr, 10);
    timeout.suspicious = !isWholeNumber(text) || errno == ERANGE || written != timeout.value;
    return timeout;
}

ConfigNumber<std::size_t> sendQueueLimitOf(const std::string& text, std::size_t fallback) {
    ConfigNumber<std::size_t> limit;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    limit.value = end != text.c_str() && value > 0 ? static_cast<std::size_t>(value) : fallback;
    limit.suspicious = !text.empty() && (!isWholeNumber(text) || errno == ERANGE);
    return limit;
}

}  // namespace hvr
