// The server's event log: one line per event on stderr, prefixed with the
// local time. Each call writes its line with one stream insertion, so lines
// from different threads (tests run several servers) do not interleave.
#pragma once

#include <string>

namespace hvr::sim {

void logEvent(const std::string& line);

}  // namespace hvr::sim
