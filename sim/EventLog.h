// The server's event log, through spdlog: one line per event, each with the
// date, the time to the millisecond and the level, on stderr unless
// configureEventLog() sends it to a size-rotated file. Every line is flushed
// as it is written, so a reader (a test, tail -f) sees it at once.
//
// Threads: the log functions may be called from any thread (tests run
// several servers in one process). configureEventLog() must run before any
// other thread logs: main() calls it once, before the server starts.
#pragma once

#include <cstddef>
#include <string>

namespace hvr::sim {

enum class LogLevel { Debug, Info, Warning, Error };

struct EventLogSettings {
    static constexpr std::size_t DEFAULT_MAX_FILE_BYTES = 10u << 20;
    static constexpr std::size_t DEFAULT_MAX_FILES = 3;

    LogLevel level = LogLevel::Info;
    std::string file;  // empty: stderr
    std::size_t maxFileBytes = DEFAULT_MAX_FILE_BYTES;  // rotate past this size
    std::size_t maxFiles = DEFAULT_MAX_FILES;           // rotated files kept besides the current one
};

// Parses "debug", "info", "warning" or "error"; false for anything else.
bool parseLogLevel(const std::string& text, LogLevel& level);

// Applies settings. Throws std::runtime_error when the file cannot be opened.
void configureEventLog(const EventLogSettings& settings);

void logEvent(const std::string& line);  // level info
void logDebug(const std::string& line);
void logWarning(const std::string& line);
void logError(const std::string& line);

// True when debug lines are written: lets a caller skip building them.
bool debugLogging();

}  // namespace hvr::sim
