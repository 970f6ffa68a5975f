// hvr-host as an operator runs it: switching users, a failed connect, times
// in --json, the session log file and level filter, passwords kept off the
// command line, and a time on every line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"

namespace hvr::e2e {
namespace {

using nlohmann::json;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++count;
    return count;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Two accounts with different balances, so the funds show whose they are.
constexpr char TWO_ACCOUNTS[] =
    "[account.demo]\npassword = demo\nbalance = 1000000\n\n"
    "[account.bob]\npassword = bob\nbalance = 500000\n\n"
    "[instrument.IF2412]\nexchange = CFFEX\nmultiplier = 300\ntick = 0.2\nlast = 3500\n"
    "band = 0.1\nmargin_ratio = 0.12\ncommission_ratio = 0.000023\n";

std::string writeAccounts(const TempDir& dir) {
    writeFile(dir.path() + "accounts.ini", TWO_ACCOUNTS);
    return dir.path() + "accounts.ini";
}

class HostOperator : public ::testing::Test {
protected:
    std::vector<std::string> hostArgs(std::vector<std::string> extra) {
        std::vector<std::string> argv{HOST_BINARY, "--module", MODULE_PATH, "--port", std::to_string(sim.port()),
                                      "--folder", dir.path() + "flow/", "--config", accounts};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    ProcessResult runScript(const std::string& script, std::vector<std::string> extra = {}) {
        writeFile(dir.path() + "run.script", script);
        extra.insert(extra.end(), {"--script", dir.path() + "run.script"});
        return runProcess(hostArgs(extra), "", std::chrono::seconds(30));
    }

    TempDir dir;
    const std::string accounts = writeAccounts(dir);  // before the simulator starts
    SimProcess sim{SIM_BINARY, {"--port", "0", "--db", dir.path() + "sim.db", "--fresh-day", "--config", accounts},
                   dir.path() + "sim.log"};
};

TEST_F(HostOperator, LoginAsAnotherUserLogsOutAndTradesOnTheNewAccount) {
    const ProcessResult run =
        runScript("connect\nlogin demo demo\nlogin bob bob\nstatus\nbuy IF2412 1 3500\nwait\nfunds\nwait\n");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "logging out demo to log in as bob")) << run.output;
    EXPECT_TRUE(contains(run.output, "[event] logged in as bob")) << run.output;
    EXPECT_TRUE(contains(run.output, "connected, logged in as bob")) << run.output;
    // The funds are bob's (balance 500,000 at the start of the day), so the
    // order went to bob's account.
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\nbob +CNY +[0-9,.]+ +500,000\\.00 "))) << run.output;
    // The same user and password again changes nothing.
    const ProcessResult same = runScript("connect\nlogin demo demo\nlogin demo demo\n");
    EXPECT_TRUE(contains(same.output, "already logged in as demo")) << same.output;
}

TEST_F(HostOperator, AfterASwitchTheBookAndLastAreTheNewUsers) {
    const ProcessResult run = runScript(
        "connect\nlogin demo demo\nbuy IF2412 1 3500\nwait\nawait filled last\n"
        "login bob bob\nexpect differences 0\nbook\ncancel last\n");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    // bob's book is compared with bob's orders only, and is empty.
    EXPECT_FALSE(contains(run.output, "difference:")) << run.output;
    EXPECT_TRUE(contains(run.output, "book: 0 orders, 0 fills")) << run.output;
    // 'last' is bob's last order: there is none.
    EXPECT_TRUE(contains(run.output, "run.script:9: cancel: no order of bob has been accepted yet")) << run.output;
}

TEST_F(HostOperator, AFailedConnectSaysConnectionClosedOnce) {
    const std::vector<std::string> argv{HOST_BINARY, "--module", MODULE_PATH, "--port",
                                        std::to_string(unusedLoopbackPort()), "--folder", dir.path() + "flow/",
                                        "--timeout", "300"};
    const ProcessResult run = runProcess(argv, "connect\n", std::chrono::seconds(30));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "cannot connect within 300 ms")) << run.output;
    EXPECT_EQ(occurrences(run.output, "[event] connection closed"), 1u) << run.output;
    // After disconnect the release's own close is not printed a second time either.
    const ProcessResult down = runScript("connect\nlogin demo demo\ndisconnect\n");
    EXPECT_EQ(occurrences(down.output, "[event] connection closed"), 1u) << down.output;
}

TEST_F(HostOperator, EveryTextLineStartsWithTheTime) {
    const ProcessResult good = runScript("connect\nlogin demo demo\nbuy IF2412 1 3500\nwait\nstatus\n");
    ASSERT_EQ(good.exitCode, 0) << good.output;
    const std::regex stamped("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} .*");
    std::istringstream lines(good.output);
    for (std::string line; std::getline(lines, line);) {
        // The further lines of a multi-line entry (status) follow unstamped.
        if (line.rfind("orders: ", 0) == 0 || line.rfind("pushes: ", 0) == 0 || line.rfind("book: ", 0) == 0)
            continue;
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    }
    EXPECT_TRUE(contains(good.output, " sent order IF2412 buy open 1 @ 3500")) << good.output;
}

TEST_F(HostOperator, JsonTimesAreIsoWithOffsetAndRecordTimesEpochMilliseconds) {
    const ProcessResult run = runScript("connect\nlogin demo demo\nbuy IF2412 1 3500\nawait filled last\norders\nwait\n",
                                        {"--json"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::regex iso("20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}");
    uint64_t pushedMillis = 0;
    uint64_t queriedMillis = 0;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        const json object = json::parse(line);
        EXPECT_TRUE(std::regex_match(object.at("time").get<std::string>(), iso)) << line;
        if (object.value("push", "") == "order") pushedMillis = object.at("orderTime").get<uint64_t>();
        if (object.value("type", "") == "row" && object.value("answer", "") == "orders")
            queriedMillis = object.at("Time").get<uint64_t>();
    }
    // The push carries seconds, the query milliseconds: both come out in milliseconds.
    ASSERT_GT(pushedMillis, 1000000000000ULL) << run.output;
    EXPECT_LE(pushedMillis, queriedMillis);
    EXPECT_LT(queriedMillis - pushedMillis, 1000u);
}

// The log file's lines without their dates, and without the session
// headers and footers: what the screen showed, but with passwords masked and
// typed commands added.
std::string undatedEntries(const std::string& file) {
    std::string entries;
    std::istringstream lines(file);
    const std::regex dated("20[0-9]{2}-[0-9]{2}-[0-9]{2} ([0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} .*)");
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("====", 0) == 0 || line.rfind("     ", 0) == 0) continue;  // header and footer
        entries += (std::regex_match(line, match, dated) ? match[1].str() : line) + "\n";
    }
    return entries;
}

TEST_F(HostOperator, LogFileDatesEveryEntryAndFramesEachSessionAndTheLevelFilterDropsInformation) {
    const std::string logFile = dir.path() + "session.log";
    const ProcessResult run = runScript("connect\nlogin demo demo\nfunds\nwait\n",
                                        {"--log-file", logFile, "--log-level", "warn"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string first = readFile(logFile);
    std::string screen = run.output;
    screen.replace(screen.find("> login demo demo"), 17, "> login demo ****");
    EXPECT_EQ(undatedEntries(first), screen) << first;
    EXPECT_TRUE(std::regex_search(first, std::regex("^==== hvr-host [0-9.]+ session started 20[0-9-]{8} [0-9:]{8} "
                                                    "[+-][0-9]{4}, pid [0-9]+, .+@.*\n     server 127\\.0\\.0\\.1:" +
                                                    std::to_string(sim.port()) + ", user \\(none yet")))
        << first;
    EXPECT_TRUE(contains(first, "log-level warn")) << first;
    EXPECT_TRUE(std::regex_search(first, std::regex("\n==== session ended 20[0-9-]{8} [0-9:]{8} [+-][0-9]{4}, "
                                                    "exit status 0\n$")))
        << first;
    EXPECT_FALSE(contains(first, "demo demo")) << first;
    EXPECT_TRUE(contains(run.output, "[answer] funds:")) << run.output;
    EXPECT_FALSE(contains(run.output, "[log info]")) << run.output;

    // A second run appends its own session; piped commands are recorded,
    // and the password of --password is not.
    std::vector<std::string> argv = hostArgs({"--log-file", logFile, "--user", "demo", "--password", "demo"});
    const ProcessResult piped = runProcess(argv, "funds\nwait\n", std::chrono::seconds(30));
    ASSERT_EQ(piped.exitCode, 0) << piped.output;
    EXPECT_TRUE(contains(piped.output, "[log info] [TraderHVR]")) << piped.output;
    const std::string both = readFile(logFile);
    ASSERT_EQ(both.compare(0, first.size(), first), 0) << "appended";
    const std::string second = both.substr(first.size());
    EXPECT_EQ(occurrences(both, "session started"), 2u) << both;
    EXPECT_TRUE(contains(second, ", user demo\n")) << second;
    EXPECT_TRUE(contains(second, "--password ****")) << second;
    EXPECT_FALSE(contains(second, "--password demo")) << second;
    EXPECT_FALSE(contains(piped.output, "> funds")) << piped.output;  // the screen does not echo a pipe
    EXPECT_TRUE(std::regex_search(second, std::regex("\n20[0-9-]{8} [0-9:.]{12} > funds\n"))) << second;
}

TEST_F(HostOperator, PasswordComesFromTheEnvironmentOrTheTerminalNotTheCommandLine) {
    std::vector<std::string> argv = hostArgs({"--user", "bob", "--script", dir.path() + "run.script"});
    writeFile(dir.path() + "run.script", "connect\nlogin demo\nstatus\n");
    argv.insert(argv.begin(), {"/usr/bin/env", "HVR_PASSWORD=bob"});
    const ProcessResult fromEnvironment = runProcess(argv, "", std::chrono::seconds(30));
    // bob from --user and HVR_PASSWORD; then "login demo" takes HVR_PASSWORD
    // (bob's) too, which demo's account refuses.
    EXPECT_TRUE(contains(fromEnvironment.output, "[event] logged in as bob")) << fromEnvironment.output;
    EXPECT_TRUE(contains(fromEnvironment.output, "[event] login refused")) << fromEnvironment.output;

    TerminalProcess host(hostArgs({"--user", "bob"}), {"HOME=" + dir.path()});
    ASSERT_TRUE(host.waitForOutput("password for bob: ", std::chrono::seconds(10))) << host.output();
    host.type("bob\r");
    // With --user the session connects and logs in before the prompt.
    ASSERT_TRUE(host.waitForOutput("[event] logged in as bob", std::chrono::seconds(10))) << host.output();
    ASSERT_TRUE(host.waitForOutput("hvr> ", std::chrono::seconds(10))) << host.output();
    host.type("\x04");  // Ctrl-D on an empty line
    const ProcessResult run = host.finish(std::chrono::seconds(20));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(contains(run.output, "password for bob: bob")) << run.output;  // not echoed
}

// The lines a terminal shows for this output: '\r' returns to the start of
// the line, ESC [ K erases to its end, other escape sequences change nothing
// the test looks at.
std::vector<std::string> screenLines(const std::string& output) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        std::string& line = lines.back();
        if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\033' && i + 1 < output.size() && output[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < output.size() && !std::isalpha(static_cast<unsigned char>(output[end]))) ++end;
            if (end < output.size() && output[end] == 'K') line.resize(std::min(line.size(), column));
            i = end;
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            if (column < line.size()) line[column] = c;
            else line += c;
            ++column;
        }
    }
    return lines;
}

TEST_F(HostOperator, EventsWhileAPasswordIsTypedArePrintedAboveItsPrompt) {
    // The simulator drops a connection that has not logged in after a
    // second, so connection events arrive while the prompt waits.
    SimProcess strict(SIM_BINARY,
                      {"--port", "0", "--db", dir.path() + "strict.db", "--fresh-day", "--config", accounts,
                       "--login-timeout", "1"},
                      dir.path() + "strict.log");
    std::vector<std::string> argv{HOST_BINARY, "--module", MODULE_PATH, "--port", std::to_string(strict.port()),
                                  "--folder", dir.path() + "flow/", "--config", accounts};
    TerminalProcess host(argv, {"HOME=" + dir.path()});
    ASSERT_TRUE(host.waitForOutput("hvr> ", std::chrono::seconds(10))) << host.output();
    host.type("connect\r");
    ASSERT_TRUE(host.waitForOutput("[event] connected", std::chrono::seconds(10))) << host.output();
    ASSERT_TRUE(host.waitForOutput("hvr> ", std::chrono::seconds(10))) << host.output();
    host.type("login demo\r");
    ASSERT_TRUE(host.waitForOutput("password for demo: ", std::chrono::seconds(10))) << host.output();
    host.type("de");  // half the password, then the server drops the connection
    ASSERT_TRUE(host.waitForOutput("[event] connection ended", std::chrono::seconds(10))) << host.output();
    ASSERT_TRUE(host.waitForOutput("password for demo: ", std::chrono::seconds(10))) << host.output();
    host.type("mo\r");
    ASSERT_TRUE(host.waitForOutput("[event] logged in as demo", std::chrono::seconds(10))) << host.output();
    ASSERT_TRUE(host.waitForOutput("hvr> ", std::chrono::seconds(10))) << host.output();
    host.type("\x04");
    const ProcessResult run = host.finish(std::chrono::seconds(20));
    EXPECT_EQ(run.exitCode, 0) << run.output;

    const std::vector<std::string> lines = screenLines(run.output);
    std::size_t eventLine = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_FALSE(contains(lines[i], "password for demo: ") && contains(lines[i], "[event]")) << lines[i];
        EXPECT_FALSE(contains(lines[i], "password for demo: de")) << lines[i];  // never echoed
        if (eventLine == lines.size() && contains(lines[i], "[event] connection ended")) eventLine = i;
    }
    ASSERT_LT(eventLine, lines.size()) << run.output;
    ASSERT_GT(eventLine, 0u);
    // The prompt stood before the event and is drawn again after it.
    bool promptAgain = false;
    for (std::size_t i = eventLine + 1; i < lines.size(); ++i) promptAgain = promptAgain || lines[i] == "password for demo: ";
    EXPECT_TRUE(promptAgain) << run.output;
}

}  // namespace
}  // namespace hvr::e2e
