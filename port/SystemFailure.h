// How the file code reports a failed system call: the reason as the system
// words it, stored for the caller when it asked for one.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <system_error>

namespace hvr {

// The system's text for an errno value.
inline std::string systemReason(int error) { return std::generic_category().message(error); }

// Stores text as the reason (when the caller passed somewhere to put it) and
// returns false, for `return failWith(reason, ...)`.
inline bool failWith(std::string* reason, const std::string& text) {
    if (reason != nullptr) *reason = text;
    return false;
}

}  // namespace hvr
