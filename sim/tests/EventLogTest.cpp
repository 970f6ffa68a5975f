// The event log's line format, level filter and size-based rotation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "EventLog.h"
#include "TempDir.h"

namespace hvr::sim::testing {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sends the log back to stderr when the test ends, whatever happened.
struct LogToStderrAfterwards {
    ~LogToStderrAfterwards() { configureEventLog(EventLogSettings{}); }
};

TEST(EventLog, LinesCarryDateTimeAndLevelAndTheFileRotatesBySize) {
    TempDir dir;
    LogToStderrAfterwards restore;
    EventLogSettings settings;
    settings.file = dir.file("sim.log");
    settings.level = LogLevel::Info;
    settings.maxFileBytes = 2000;
    settings.maxFiles = 2;
    configureEventLog(settings);

    logDebug("not at this level");
    EXPECT_FALSE(debugLogging());
    logWarning("first {} braces are text");
    const std::string first = readAll(settings.file);
    EXPECT_TRUE(std::regex_match(first, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} hvr-sim \[warning\] first \{\} braces are text\n)")))
        << first;

    for (int i = 0; i < 100; ++i) logEvent("line " + std::to_string(i) + " " + std::string(40, 'x'));
    EXPECT_TRUE(std::filesystem::exists(dir.file("sim.1.log")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("sim.2.log")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("sim.3.log")));
    EXPECT_LE(std::filesystem::file_size(settings.file), 2000u);
    EXPECT_NE(readAll(settings.file).find("line 99 "), std::string::npos);
}

TEST(EventLog, AnUnwritableLogFileIsAStartupErrorNamingIt) {
    EventLogSettings settings;
    settings.file = "/proc/no-such-dir/sim.log";  // not creatable, even by root
    try {
        configureEventLog(settings);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(settings.file), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace hvr::sim::testing
