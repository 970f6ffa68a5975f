// hvr-host's book against hvr-sim: reconciliation after every login and on
// demand, through restarts, a crash of the server, push mode 1, pushes the
// server left out and a lost flow file.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"

namespace hvr::e2e {
namespace {

using std::chrono::seconds;

// Every "[book] reconciled: ..." line of a transcript, without its time.
std::vector<std::string> reconciledLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    static const std::regex line("^[0-9:.]+ \\[book\\] (reconciled: .*)$");
    std::smatch match;
    for (std::string text; std::getline(in, text);)
        if (std::regex_match(text, match, line)) lines.push_back(match[1]);
    return lines;
}

std::vector<std::string> differenceLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    const std::string prefix = "  difference: ";
    for (std::string text; std::getline(in, text);)
        if (text.rfind(prefix, 0) == 0) lines.push_back(text.substr(prefix.size()));
    return lines;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

class BookReconcile : public ::testing::Test {
protected:
    std::unique_ptr<SimProcess> startSim(std::vector<std::string> extra = {}, bool fresh = false) {
        std::vector<std::string> args = {"--port", std::to_string(port), "--db", dir.path() + "sim.db"};
        if (fresh) args.push_back("--fresh-day");
        args.insert(args.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<SimProcess>(SIM_BINARY, args, dir.path() + "sim.log");
        port = sim->port();
        return sim;
    }

    std::vector<std::string> hostArgs(const std::string& script, int pushMode, const std::string& folder = "flow/") {
        std::vector<std::string> args = {HOST_BINARY, "--module", MODULE_PATH, "--port", std::to_string(port),
                                         "--folder", dir.path() + folder, "--pushmode", std::to_string(pushMode),
                                         "--user", "demo", "--password", "demo"};
        if (!script.empty()) {
            writeFile(dir.path() + "host.script", script);
            args.insert(args.end(), {"--script", dir.path() + "host.script"});
        }
        return args;
    }

    TempDir dir;
    int port = 0;
};

TEST_F(BookReconcile, CleanSessionThroughACrashAndARestartHasNoDifferenceAndCountsNoFillTwice) {
    auto sim = startSim({}, true);
    RunningProcess host(hostArgs("connect\n"
                                 "buy IF2412 1 3500\nbuy IF2412 2 3500\nbuy IF2412 1 3400\nwait\n"
                                 "await trades 2\n"
                                 "await logins 2 20000\nawait reconciled 2 20000\n"
                                 "buy IF2412 1 3500\nsell IF2412 1 3500 close\nwait\nawait trades 4\n"
                                 "await logins 3 20000\nawait reconciled 3 20000\n"
                                 "cancel 3\nwait\nawait cancelled 3\n"
                                 "reconcile\nexpect differences 0\nexpect duplicates 0\npositions\nwait\nbook\n",
                                 0),
                        "");
    ASSERT_TRUE(host.waitForOutput("> await logins 2", seconds(10))) << host.output();
    ASSERT_EQ(sim->stop(SIGKILL), 128 + SIGKILL);  // a crash: the day survives in the database
    sim = startSim();
    ASSERT_TRUE(host.waitForOutput("> await logins 3", seconds(20))) << host.output();
    ASSERT_EQ(sim->stop(), 0);
    sim = startSim();
    const ProcessResult run = host.finish(seconds(30));
    ASSERT_EQ(run.exitCode, 0) << run.output;

    const std::vector<std::string> lines = reconciledLines(run.output);
    ASSERT_EQ(lines.size(), 4u) << run.output;  // three logins and the command
    for (const std::string& line : lines) EXPECT_NE(line.find(", 0 differences;"), std::string::npos) << line;
    EXPECT_EQ(lines[3].rfind("reconciled: 5 orders, 4 fills, 0 differences; 0 duplicates so far", 0), 0u)
        << lines[3];
    EXPECT_TRUE(differenceLines(run.output).empty()) << run.output;
    // Four fills of 5 lots: long opened 4, closed 1, as the server has it;
    // nothing counted twice.
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\nIF2412 +long +4 +1 +3 +0 +3\n"))) << run.output;
}

TEST_F(BookReconcile, PushModeOneReplaysTheDayAfterARestartAndTheBookHoldsThemAsDuplicates) {
    auto sim = startSim({}, true);
    // Earlier in the day, another session trades: 6 pushes.
    const ProcessResult before = runProcess(
        hostArgs("connect\nbuy IF2412 1 3500\nbuy IF2412 1 3500\nwait\nawait trades 2\n", 0, "other/"), "", seconds(30));
    ASSERT_EQ(before.exitCode, 0) << before.output;

    // With push mode 1 the first login asks for new pushes only; its
    // reconciliation loads the day into the new book. The login after the
    // restart sends the record's push id, 0, and the whole day comes again.
    RunningProcess host(hostArgs("connect\nexpect pushes 0\nawait logins 2 20000\nawait pushes 6\n"
                                 "reconcile\nexpect duplicates 6\nexpect differences 0\nbook\n",
                                 1),
                        "");
    ASSERT_TRUE(host.waitForOutput("> await logins 2", seconds(10))) << host.output();
    ASSERT_EQ(sim->stop(), 0);
    sim = startSim();
    const ProcessResult run = host.finish(seconds(30));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::vector<std::string> lines = reconciledLines(run.output);
    ASSERT_GE(lines.size(), 2u) << run.output;
    EXPECT_EQ(lines[0].rfind("reconciled: 2 orders, 2 fills, 0 differences; loaded into the new book: 2 orders, 2 fills", 0), 0u)
        << lines[0];
    EXPECT_EQ(count(run.output, "(DUPLICATE)"), 6u) << run.output;
    EXPECT_NE(run.output.find("book: 2 orders, 2 fills, 6 duplicates"), std::string::npos) << run.output;
}

TEST_F(BookReconcile, PushesTheServerLeftOutAreEachReportedOnceAndTheBookEndsAsTheServers) {
    // Every second push is left out: of the 12 pushes of four filled orders
    // (queuing, fill, filled each), the host receives 1, 3, 5, 7, 9 and 11.
    auto sim = startSim({"--leave-out-pushes", "2"}, true);
    const ProcessResult run = runProcess(
        hostArgs("connect\n"
                 "buy IF2412 1 3500\nbuy IF2412 1 3500\nbuy IF2412 1 3500\nbuy IF2412 1 3500\nwait\n"
                 "await pushes 6\nreconcile\nexpect differences 4\nreconcile\nexpect differences 4\n",
                 0),
        "", seconds(30));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::vector<std::string> differences = differenceLines(run.output);
    EXPECT_EQ(differences,
              (std::vector<std::string>{
                  "order 2 IF2412 buy open 1 @ 3500: the server has it (filled, traded 1), the book does not",
                  "order 4 IF2412 buy open 1 @ 3500: the server has it (filled, traded 1), the book does not",
                  "fill 1 of order 1 IF2412 buy open 1 @ 3500: the server has it, the book does not",
                  "fill 3 of order 3 IF2412 buy open 1 @ 3500: the server has it, the book does not"}))
        << run.output;
    const std::vector<std::string> lines = reconciledLines(run.output);
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[1].rfind("reconciled: 4 orders, 4 fills, 4 differences", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("reconciled: 4 orders, 4 fills, 0 differences", 0), 0u) << lines[2];
}

TEST_F(BookReconcile, ALostFlowFileWithPushModeTwoReplaysEverythingAsDuplicates) {
    auto sim = startSim({}, true);
    RunningProcess host(hostArgs("", 2), "", RunningProcess::Input::KeepOpen);
    host.sendInput("connect\nbuy IF2412 1 3500\nbuy IF2412 1 3400\nwait\nawait trades 1\nawait queuing 2\ndisconnect\n");
    ASSERT_TRUE(host.waitForOutput("[event] connection closed", seconds(10))) << host.output();
    ASSERT_EQ(std::remove((dir.path() + "flow/demo.flow").c_str()), 0);
    host.sendInput("connect\nexpect duplicates 4\nreconcile\nexpect differences 0\nquit\n");
    host.closeInput();
    const ProcessResult run = host.finish(seconds(30));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("as expected: 4 duplicate pushes"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("as expected: 0 differences"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("failed:"), std::string::npos) << run.output;
    EXPECT_EQ(count(run.output, "(DUPLICATE)"), 4u) << run.output;
}

TEST_F(BookReconcile, ALoginOnANewTradingDayShowsTheModulesWarningBesideTheResult) {
    auto sim = startSim({"--trading-date", "20261208"}, true);
    RunningProcess host(hostArgs("", 0), "", RunningProcess::Input::KeepOpen);
    host.sendInput("connect\nbuy IF2412 1 3500\nwait\nawait trades 1\ndisconnect\n");
    ASSERT_TRUE(host.waitForOutput("[event] connection closed", seconds(10))) << host.output();
    // The next day, an order fills before the host is back; the host's flow
    // file is from the day before.
    ASSERT_EQ(sim->stop(), 0);
    sim = startSim({"--trading-date", "20261209"}, true);
    const ProcessResult other = runProcess(
        hostArgs("connect\nbuy IF2412 1 3500\nwait\nawait trades 1\n", 0, "other/"), "", seconds(30));
    ASSERT_EQ(other.exitCode, 0) << other.output;
    host.sendInput("connect\nreconcile\nexpect differences 0\nquit\n");
    host.closeInput();
    const ProcessResult run = host.finish(seconds(30));
    ASSERT_EQ(run.exitCode, 0) << run.output;

    // The login's result, the new day and the module's warning, together.
    const std::size_t result = run.output.find("[book] reconciled: 1 order, 1 fill, ");
    ASSERT_NE(result, std::string::npos) << run.output;
    const std::string block = run.output.substr(result, run.output.find("\n> ", result) - result);
    EXPECT_NE(block.find("\n  new trading day 20261209 (the book was on 20261208): the book started empty"),
              std::string::npos)
        << block;
    EXPECT_NE(block.find("\n  warning at this login: [TraderHVR]交易日已变更:流水记录为20261208,本次登录为20261209"),
              std::string::npos)
        << block;
    // hvr-sim numbers the new day's pushes on from the old day's, so the
    // login's replay brought the early order and fill: nothing is missing (a
    // server numbering each day from 1 would have them reported as missing).
    EXPECT_TRUE(differenceLines(run.output).empty()) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\\[push\\] trade 1 of order 1 [^\n]*  \\(replayed\\)\n")))
        << run.output;
    // The warning's answer follows the result, once.
    const std::size_t answer = run.output.find("[book] new trading day 20261209: nothing missing\n");
    EXPECT_GT(answer, result) << run.output;
    EXPECT_EQ(count(run.output, "[book] new trading day"), 1u) << run.output;
    const std::vector<std::string> lines = reconciledLines(run.output);
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[1].rfind("reconciled: 1 order, 1 fill, 0 differences", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("reconciled: 1 order, 1 fill, 0 differences", 0), 0u) << lines[2];
}

TEST_F(BookReconcile, ReconcileZeroLeavesTheLoginAloneAndJsonCarriesEachDifference) {
    auto sim = startSim({"--leave-out-pushes", "3"}, true);
    std::vector<std::string> args =
        hostArgs("connect\nbuy IF2412 1 3500\nwait\nawait trades 1\nreconcile\n", 0);
    args.insert(args.end(), {"--reconcile", "0", "--json"});
    const ProcessResult run = runProcess(args, "", seconds(30));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(count(run.output, "\"type\":\"reconciled\""), 1u) << run.output;  // the command's only
    EXPECT_NE(run.output.find("\"afterLogin\":false"), std::string::npos) << run.output;
    // The filled push (the third) was left out: the book still had the order queuing.
    EXPECT_NE(run.output.find("\"kind\":\"order differs\""), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\"book\":{\"left\":1,\"state\":\"queuing\",\"traded\":0}"), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace hvr::e2e
