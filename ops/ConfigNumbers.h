// The numbers init reads from its configuration texts, and whether a text is
// a mistake the host should hear of. Pure: texts and the host node's own
// reading in, the value used and a verdict out.
//
// The values used do not change with the verdict: "port" keeps the low 16
// bits of the node's integer reading (70000 connects to 4464), as hosts may
// rely on; the verdict only decides whether init writes a warning naming
// the key, its text and the value used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hvr {

// A value init will use, and whether its text is what it should be.
template <typename T>
struct ConfigNumber {
    T value{};
    bool suspicious = false;
};

// True for one or more decimal digits and nothing else (no sign, no blanks).
bool isWholeNumber(const std::string& text);

// "port": the low 16 bits of nodeValue (the node's integer reading); the
// text is suspicious unless it is a whole number from 1 to 65535.
ConfigNumber<uint16_t> portOf(const std::string& text, int nodeValue);

// "peertimeout": nodeValue taken into 0..maxSeconds; a text that is
// present but not a whole number, or that had to be taken into the range,
// is suspicious. Missing or empty: 0, not suspicious.
ConfigNumber<int> peerTimeoutOf(const std::string& text, int nodeValue, int maxSeconds);

// "sendqueue": the number the text starts with when it is above 0, else
// fallback (missing, empty and "0" mean the default and are not
// suspicious); a text that is not a whole number is suspicious.
ConfigNumber<std::size_t> sendQueueLimitOf(const std::string& text, std::size_t fallback);

}  // namespace hvr
