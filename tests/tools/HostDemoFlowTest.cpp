// The demo's two sessions, run through hvr-host against a fresh simulator,
// with what the transcript must show checked line by line.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"

namespace hvr::e2e {
namespace {

// The line without the "HH:MM:SS.mmm " the host puts before events, answers
// and pushes, so that two sessions' lines compare.
std::string withoutTimeStamp(const std::string& line) {
    static const std::regex stamp("^[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ");
    return std::regex_replace(line, stamp, "", std::regex_constants::format_first_only);
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line = withoutTimeStamp(line);
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    }
    return lines;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class HostDemoFlow : public ::testing::Test {
protected:
    ProcessResult runHost(const std::string& script, int pushMode) {
        return runProcess({HOST_BINARY, "--module", MODULE_PATH, "--port", std::to_string(sim.port()), "--folder",
                           dir.path() + "flow/", "--pushmode", std::to_string(pushMode), "--script",
                           std::string(DEMO_DIR) + "/" + script},
                          "", std::chrono::seconds(30));
    }

    TempDir dir;
    SimProcess sim{SIM_BINARY, {"--port", "0", "--db", dir.path() + "sim.db", "--fresh-day"}, dir.path() + "sim.log"};
};

TEST_F(HostDemoFlow, TradingSessionShowsFillCancelRefusalPushesAndTables) {
    const ProcessResult run = runHost("demo.script", 0);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& out = run.output;

    EXPECT_TRUE(contains(out, "[event] connected"));
    // Events, answers and pushes carry the local time with milliseconds.
    EXPECT_TRUE(std::regex_search(out, std::regex("(^|\n)[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} \\[event\\] connected\n")))
        << out;
    EXPECT_TRUE(contains(out, "[event] logged in as demo"));
    // Adapter log lines arrive converted from GBK.
    EXPECT_TRUE(contains(out, "[log info] [TraderHVR]连接成功"));

    // The filled order: accepted, pushed as filled, with its trade.
    EXPECT_TRUE(contains(out, "[answer] order accepted: order 1, IF2412 buy open 1 @ 3500"));
    EXPECT_TRUE(contains(out, "[push] order 1 IF2412 buy open 1 @ 3500: filled, traded 1, left 0"));
    EXPECT_TRUE(contains(out, "[push] trade 1 of order 1 IF2412 buy open 1 @ 3500"));
    // The resting order: queuing, then cancelled by our cancel.
    EXPECT_TRUE(contains(out, "[push] order 2 IF2412 buy open 1 @ 3400: queuing"));
    EXPECT_TRUE(contains(out, "sent cancel of order 2"));
    EXPECT_TRUE(contains(out, "[push] order 2 IF2412 buy open 1 @ 3400: cancelled, traded 0, left 1"));
    // The refusal names its reason.
    const auto refusals = linesStartingWith(out, "[answer] order refused: ");
    ASSERT_EQ(refusals.size(), 1u) << out;
    EXPECT_TRUE(contains(refusals[0], "tick")) << refusals[0];

    // The four tables, with the position the fill made.
    for (const char* heading : {"[answer] funds:", "[answer] positions:", "[answer] orders:", "[answer] trades:"})
        EXPECT_TRUE(contains(out, heading)) << heading;
    EXPECT_FALSE(linesStartingWith(out, "IF2412  long          0          1").empty()) << out;
    EXPECT_FALSE(linesStartingWith(out, "demo     CNY").empty()) << out;

    EXPECT_TRUE(contains(out, "0 duplicate pushes"));
    EXPECT_TRUE(contains(out, "released"));
}

TEST_F(HostDemoFlow, SecondSessionResumingFromTheFlowFileGetsNoPushTwice) {
    const ProcessResult first = runHost("demo.script", 0);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const auto firstPushes = linesStartingWith(first.output, "[push]");
    ASSERT_EQ(firstPushes.size(), 5u) << first.output;  // 3 order updates + 1 trade + cancel

    const ProcessResult second = runHost("resume.script", 0);
    ASSERT_EQ(second.exitCode, 0) << second.output;
    EXPECT_TRUE(linesStartingWith(second.output, "[push]").empty()) << second.output;
    EXPECT_TRUE(contains(second.output, "as expected: 0 pushes"));
    // It is the same day: the orders are still there, only not pushed again.
    EXPECT_TRUE(contains(second.output, "[answer] orders:"));
    const auto order2 = linesStartingWith(second.output, "      2  ");
    ASSERT_EQ(order2.size(), 1u) << second.output;
    EXPECT_TRUE(contains(order2[0], "IF2412  buy   open     3400")) << order2[0];
}

TEST_F(HostDemoFlow, FullReplayBringsBackExactlyTheFirstSessionsPushes) {
    const ProcessResult first = runHost("demo.script", 0);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const ProcessResult replay = runProcess(
        {HOST_BINARY, "--module", MODULE_PATH, "--port", std::to_string(sim.port()), "--folder",
         dir.path() + "other/", "--pushmode", "2", "--script", std::string(DEMO_DIR) + "/replay.script"},
        "", std::chrono::seconds(30));
    ASSERT_EQ(replay.exitCode, 0) << replay.output;
    auto firstPushes = linesStartingWith(first.output, "[push]");
    auto replayed = linesStartingWith(replay.output, "[push]");
    // Each came with the login's catch-up, and says so; none of the first
    // session's did (they happened after its login).
    const std::string mark = "  (replayed)";
    for (std::string& line : replayed) {
        ASSERT_GT(line.size(), mark.size());
        EXPECT_EQ(line.substr(line.size() - mark.size()), mark) << line;
        line.resize(line.size() - mark.size());
    }
    for (const std::string& line : firstPushes) EXPECT_FALSE(contains(line, mark)) << line;
    std::sort(firstPushes.begin(), firstPushes.end());
    std::sort(replayed.begin(), replayed.end());
    EXPECT_EQ(replayed, firstPushes);
}

}  // namespace
}  // namespace hvr::e2e
