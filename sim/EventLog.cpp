#include "EventLog.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <stdexcept>

namespace hvr::sim {

namespace {

constexpr const char* LINE_PATTERN = "%Y-%m-%d %H:%M:%S.%e hvr-sim [%l] %v";

spdlog::level::level_enum toSpdlog(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return spdlog::level::debug;
        case LogLevel::Warning:
            return spdlog::level::warn;
        case LogLevel::Error:
            return spdlog::level::err;
        default:
            return spdlog::level::info;
    }
}

std::shared_ptr<spdlog::logger> makeLogger(spdlog::sink_ptr sink, LogLevel level) {
    auto logger = std::make_shared<spdlog::logger>("hvr-sim", std::move(sink));
    logger->set_pattern(LINE_PATTERN);
    logger->set_level(toSpdlog(level));
    logger->flush_on(spdlog::level::trace);
    return logger;
}

// Replaced only by configureEventLog, before other threads log.
std::shared_ptr<spdlog::logger>& theLogger() {
    static std::shared_ptr<spdlog::logger> logger =
        makeLogger(std::make_shared<spdlog::sinks::stderr_sink_mt>(), LogLevel::Info);
    return logger;
}

}  // namespace

bool parseLogLevel(const std::string& text, LogLevel& level) {
    if (text == "debug") level = LogLevel::Debug;
    else if (text == "info") level = LogLevel::Info;
    else if (text == "warning") level = LogLevel::Warning;
    else if (text == "error") level = LogLevel::Error;
    else return false;
    return true;
}

void configureEventLog(const EventLogSettings& settings) {
    spdlog::sink_ptr sink;
    if (settings.file.empty()) {
        sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    } else {
        try {
            sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(settings.file, settings.maxFileBytes,
                                                                          settings.maxFiles);
        } catch (const spdlog::spdlog_ex& e) {
            throw std::runtime_error("cannot open the log file \"" + settings.file + "\": " + e.what());
        }
    }
    theLogger() = makeLogger(std::move(sink), settings.level);
}

void logEvent(const std::string& line) { theLogger()->info(line); }
void logDebug(const std::string& line) { theLogger()->debug(line); }
void logWarning(const std::string& line) { theLogger()->warn(line); }
void logError(const std::string& line) { theLogger()->error(line); }

bool debugLogging() { return theLogger()->should_log(spdlog::level::debug); }

}  // namespace hvr::sim
