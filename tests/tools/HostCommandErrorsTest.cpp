// hvr-host's answers to wrong commands and failed sessions, seen from outside
// the process: the messages it prints and its exit status.
#include <gtest/gtest.h>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"

namespace hvr::e2e {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

ProcessResult runHost(std::vector<std::string> args, const std::string& input) {
    std::vector<std::string> argv{HOST_BINARY, "--module", MODULE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, input, std::chrono::seconds(20));
}

TEST(HostCommandErrors, PipedInputExplainsEachWrongCommandGoesOnAndFailsAtTheEnd) {
    const ProcessResult run = runHost({"--port", "1"},
                                      "frobnicate\n"
                                      "buy IF2412\n"
                                      "buy IF2412 lots 3500\n"
                                      "sell IF2412 1 3500 gtc\n"
                                      "cancel\n"
                                      "login demo\n"
                                      "await filled\n"
                                      "buy IF2412 1 3500\n"
                                      "positions\n"
                                      "status\n"
                                      "quit\n");
    // A pipeline learns that lines failed from the exit status.
    EXPECT_EQ(run.exitCode, 1) << run.output;
    const std::string& out = run.output;
    EXPECT_TRUE(contains(out, "error: unknown command 'frobnicate' (type help for the list)")) << out;
    EXPECT_TRUE(contains(out, "error: buy: missing arguments; usage: buy CODE VOLUME PRICE")) << out;
    EXPECT_TRUE(contains(out, "error: buy: VOLUME must be a whole number of lots, got 'lots'")) << out;
    EXPECT_TRUE(contains(out, "error: sell: unknown flag 'gtc'")) << out;
    EXPECT_TRUE(contains(out, "error: cancel: missing ORDERID")) << out;
    // No password typed, none in the environment, no terminal to ask on.
    EXPECT_TRUE(contains(out, "failed: login demo: no password: type it after the user, set HVR_PASSWORD")) << out;
    EXPECT_TRUE(contains(out, "error: await filled: missing ORDERID")) << out;
    // Valid commands that need a session say so instead of sending anything.
    EXPECT_TRUE(contains(out, "failed: not logged in: use connect and login first")) << out;
    // The loop went on to the end.
    EXPECT_TRUE(contains(out, "not connected, not logged in")) << out;
    EXPECT_TRUE(contains(out, "released")) << out;
}

TEST(HostCommandErrors, ScriptIsCheckedWholeBeforeItsFirstCommandRuns) {
    TempDir dir;
    // The order on line 4 must not go out because of the typo on line 5.
    writeFile(dir.path() + "bad.script",
              "# header\nconnect\nlogin demo demo\nbuy IF2412 1 3500\nfunds extra\nstatus\n");
    const ProcessResult run = runHost({"--port", "1", "--script", dir.path() + "bad.script"}, "");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "bad.script:5: funds: takes no arguments")) << run.output;
    EXPECT_FALSE(contains(run.output, "> connect")) << run.output;
    EXPECT_FALSE(contains(run.output, "sent order")) << run.output;
}

TEST(HostCommandErrors, ConnectTimeoutFailsTheSessionWithTheSocketError) {
    TempDir dir;
    writeFile(dir.path() + "connect.script", "connect\nstatus\n");
    const ProcessResult run = runHost({"--port", std::to_string(unusedLoopbackPort()), "--timeout", "300",
                                       "--script", dir.path() + "connect.script"},
                                      "");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "[event] connect failed: Connection refused (111)")) << run.output;
    EXPECT_TRUE(contains(run.output, "connect.script:1: cannot connect within 300 ms")) << run.output;
}

TEST(HostCommandErrors, RefusedLoginFailsTheSessionWithTheServersReason) {
    TempDir dir;
    SimProcess sim(SIM_BINARY, {"--port", "0", "--db", dir.path() + "sim.db", "--fresh-day", "--refuse-logins"},
                   dir.path() + "sim.log");
    writeFile(dir.path() + "login.script", "connect\n");
    const ProcessResult run = runHost({"--port", std::to_string(sim.port()), "--folder", dir.path(), "--user", "demo",
                                       "--password", "demo", "--script", dir.path() + "login.script"},
                                      "");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "[event] login refused: ")) << run.output;
    EXPECT_TRUE(contains(run.output, "login.script:1: login refused: ")) << run.output;
}

TEST(HostCommandErrors, WrongCommandLineExitsTwoWithAHint) {
    const ProcessResult wrongValue = runHost({"--port", "1", "--pushmode", "7"}, "");
    EXPECT_EQ(wrongValue.exitCode, 2);
    EXPECT_TRUE(contains(wrongValue.output, "--pushmode must be 0, 1 or 2")) << wrongValue.output;
    EXPECT_TRUE(contains(wrongValue.output, "see hvr-host --help")) << wrongValue.output;

    // No silent port 0: without --port nothing is loaded or connected.
    const ProcessResult noPort = runHost({}, "connect\n");
    EXPECT_EQ(noPort.exitCode, 2);
    EXPECT_TRUE(contains(noPort.output, "--port is required")) << noPort.output;

    const ProcessResult unknownFlag = runHost({"--colour"}, "");
    EXPECT_EQ(unknownFlag.exitCode, 2) << unknownFlag.output;
}

TEST(HostCommandErrors, HelpAndVersionExitZero) {
    const ProcessResult help = runHost({"-h"}, "");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(contains(help.output, "--nodelay")) << help.output;
    const ProcessResult version = runHost({"--version"}, "");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(contains(version.output, "hvr-host 1.")) << version.output;
}

TEST(HostCommandErrors, HostNameIsResolvedBeforeTheAdapterSeesIt) {
    TempDir dir;
    SimProcess sim(SIM_BINARY, {"--port", "0", "--db", dir.path() + "sim.db", "--fresh-day"}, dir.path() + "sim.log");
    writeFile(dir.path() + "connect.script", "connect\n");
    // "localhost" resolves to a loopback address; the adapter itself takes
    // numeric addresses only and would refuse the name in init.
    const ProcessResult run = runHost({"--host", "localhost", "--port", std::to_string(sim.port()), "--folder",
                                       dir.path(), "--script", dir.path() + "connect.script"},
                                      "");
    EXPECT_FALSE(contains(run.output, "refused its configuration")) << run.output;
    // The adapter names the address it connects to: the numeric one.
    EXPECT_TRUE(contains(run.output, "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8:127.0.0.1") ||
                contains(run.output, "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8:::1"))  // 服务器:
        << run.output;
}

TEST(HostCommandErrors, MissingModuleIsReportedByTheLoader) {
    const ProcessResult run = runProcess({HOST_BINARY, "--port", "1", "--module", "/nonexistent/libTraderHVR.so"}, "quit\n",
                                         std::chrono::seconds(10));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(contains(run.output, "cannot load the trader module")) << run.output;
}

}  // namespace
}  // namespace hvr::e2e
