// The text of one printf-style log line a trader module hands to
// ITraderListener::logMessage. Both hosts (hvr-host and the Python package)
// format the module's lines with it; it is the installed host helper's
// (host/LogText.h). Pure; any thread.
#pragma once

#include <cstdarg>
#include <string>

namespace hvr::tools {

// The formatted line, however long. A format the C library refuses comes
// back as the format text itself, so a line is never lost. args is consumed
// as vsnprintf consumes it.
std::string formatLogLine(const char* format, va_list args);

}  // namespace hvr::tools
