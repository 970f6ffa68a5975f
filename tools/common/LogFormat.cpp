#include "common/LogFormat.h"

#include "host/LogText.h"

namespace hvr::tools {

std::string formatLogLine(const char* format, va_list args) { return kra::formatLogMessage(format, args); }

}  // namespace hvr::tools
