// The command line: defaults, every flag, and the refusals that exit 2.
#include <gtest/gtest.h>

#include "Options.h"

namespace hvr::sim {
namespace {

CommandLine parse(std::vector<std::string> args) { return parseCommandLine(args); }

TEST(Options, DefaultsWithoutFlags) {
    const CommandLine c = parse({});
    ASSERT_EQ(c.action, CommandLine::Action::Run);
    EXPECT_EQ(c.options.listen, "127.0.0.1");
    EXPECT_EQ(c.options.port, 0);
    EXPECT_EQ(c.options.db, "hvr-sim.db");
    EXPECT_EQ(c.options.compressThreshold, 1024u);
    EXPECT_EQ(c.options.idleTimeoutSeconds, 30.0);
    EXPECT_EQ(c.options.loginTimeoutSeconds, 60.0);  // a person typing a password after connect
    EXPECT_FALSE(c.options.randomWalkSeed.has_value());
    EXPECT_FALSE(c.options.faults.failWritesAfter.has_value());
    EXPECT_EQ(c.options.faults.dropAfter, 0u);
}

TEST(Options, EveryFlagIsRead) {
    const CommandLine c = parse({"--listen", "::1", "--port", "4567", "--port-file", "p.txt", "--config", "c.ini",
                                 "--db", "d.db", "--fresh-day", "--trading-date", "20240229",
                                 "--compress-threshold", "10", "--idle-timeout", "0.5", "--partial-fills",
                                 "--random-walk-seed", "9", "--random-walk-ms", "20", "--drop-after", "3",
                                 "--one-byte-writes", "--answer-delay-ms", "15", "--refuse-logins",
                                 "--max-connections", "9", "--log-file", "s.log", "--log-level", "debug",
                                 "--log-max-bytes", "4096", "--log-max-files", "2", "--connection-faults",
                                 "stall:800,trickle:3000,reset:300,hold,hold-trickle:40,hold-reset", "--small-socket-buffers",
                                 "--request-journal", "j.txt", "--login-timeout", "1.5",
                                 "--fail-writes-after", "0"});
    ASSERT_EQ(c.action, CommandLine::Action::Run) << c.text;
    const SimOptions& o = c.options;
    EXPECT_EQ(o.listen, "::1");
    EXPECT_EQ(o.port, 4567);
    EXPECT_EQ(o.portFile, "p.txt");
    EXPECT_EQ(o.configFile, "c.ini");
    EXPECT_EQ(o.db, "d.db");
    EXPECT_TRUE(o.freshDay);
    EXPECT_EQ(o.tradingDate, 20240229u);
    EXPECT_EQ(o.compressThreshold, 10u);
    EXPECT_EQ(o.idleTimeoutSeconds, 0.5);
    EXPECT_TRUE(o.partialFills);
    EXPECT_EQ(o.randomWalkSeed, std::optional<uint64_t>(9));
    EXPECT_EQ(o.randomWalkMs, 20u);
    EXPECT_EQ(o.faults.dropAfter, 3u);
    EXPECT_TRUE(o.faults.oneByteWrites);
    EXPECT_EQ(o.faults.answerDelayMs, 15u);
    EXPECT_TRUE(o.faults.refuseLogins);
    EXPECT_EQ(o.maxConnections, 9u);
    EXPECT_EQ(o.log.file, "s.log");
    EXPECT_EQ(o.log.level, LogLevel::Debug);
    EXPECT_EQ(o.log.maxFileBytes, 4096u);
    EXPECT_EQ(o.log.maxFiles, 2u);
    const std::vector<std::string> faults = {"stall:800", "trickle:3000", "reset:300",
                                             "hold",      "hold-trickle:40", "hold-reset"};
    ASSERT_EQ(o.faults.connectionFaults.size(), faults.size());
    for (std::size_t i = 0; i < faults.size(); ++i) {
        EXPECT_EQ(describeFault(o.faults.connectionFaults[i]), faults[i]);
        EXPECT_EQ(o.faults.connectionFaults[i].held, i >= 3);
    }
    EXPECT_TRUE(o.faults.smallSocketBuffers);
    EXPECT_EQ(o.requestJournal, "j.txt");
    EXPECT_EQ(o.loginTimeoutSeconds, 1.5);
    EXPECT_EQ(o.faults.failWritesAfter, std::optional<uint64_t>(0));
}

TEST(Options, HeartbeatAndFreezeFlags) {
    EXPECT_EQ(parse({}).options.heartbeatSeconds, 5.0);
    EXPECT_EQ(parse({}).options.faults.freezeAfter, 0u);
    const CommandLine c = parse({"--heartbeat-seconds", "0.5", "--freeze-after", "4"});
    ASSERT_EQ(c.action, CommandLine::Action::Run) << c.text;
    EXPECT_EQ(c.options.heartbeatSeconds, 0.5);
    EXPECT_EQ(c.options.faults.freezeAfter, 4u);
    EXPECT_EQ(parse({"--heartbeat-seconds", "0"}).action, CommandLine::Action::Run);  // none
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--freeze-after", "0"}, {"--heartbeat-seconds", "-1"}})
        EXPECT_EQ(parse(bad).action, CommandLine::Action::Error) << bad.front();
}

TEST(Options, BadFlagsAreErrorsWithAMessage) {
    const std::vector<std::vector<std::string>> bad = {
        {"--no-such-flag"},
        {"--port", "seventy"},
        {"--port", "70000"},
        {"--listen", "0.0.0.0"},
        {"--listen", "192.168.1.4"},
        {"--listen", "localhost"},
        {"--trading-date", "20240230"},
        {"--trading-date", "2024"},
        {"--idle-timeout", "0"},
        {"--login-timeout", "0"},
        {"--fail-writes-after", "-1"},
        {"--drop-after", "0"},
        {"--random-walk-ms", "0"},
        {"--db"},
        {"--max-connections", "0"},
        {"--log-level", "verbose"},
        {"--log-max-bytes", "0"},
        {"--connection-faults", "stall"},
        {"--connection-faults", "stall:0"},
        {"--connection-faults", "pause:10"},
        {"--connection-faults", "reset:10,"},
        {"--connection-faults", "trickle:-5"},
        {"--connection-faults", "hold:5"},
        {"--connection-faults", "hold-reset:5"},
        {"--connection-faults", "hold-trickle"},
        {"--connection-faults", "hold-trickle:0"},
        {"a-stray-word"},
    };
    for (const auto& args : bad) {
        const CommandLine c = parse(args);
        EXPECT_EQ(c.action, CommandLine::Action::Error) << args.front();
        EXPECT_FALSE(c.text.empty());
    }
    EXPECT_NE(parse({"--listen", "10.0.0.1"}).text.find("loopback"), std::string::npos);
}

TEST(Options, NegativeCountsAreErrorsNotHugeNumbers) {
    for (const char* flag : {"--drop-after", "--freeze-after", "--max-connections", "--answer-delay-ms",
                             "--leave-out-pushes", "--compress-threshold", "--port"}) {
        const CommandLine c = parse({flag, "-1"});
        EXPECT_EQ(c.action, CommandLine::Action::Error) << flag;
        EXPECT_NE(c.text.find("negative"), std::string::npos) << flag << ": " << c.text;
    }
    const CommandLine both = parse({"--drop-after=-3"});
    EXPECT_EQ(both.action, CommandLine::Action::Error) << both.text;
}

TEST(Options, LeaveOutPushesTakesAPositiveCount) {
    EXPECT_EQ(parse({"--leave-out-pushes", "3"}).options.faults.leaveOutPushEvery, 3u);
    EXPECT_EQ(parse({}).options.faults.leaveOutPushEvery, 0u);
    EXPECT_EQ(parse({"--leave-out-pushes", "0"}).action, CommandLine::Action::Error);
}

TEST(Options, HelpListsTheFlagsAndVersionNamesTheProgram) {
    for (const char* help : {"--help", "-h"}) {
        const CommandLine c = parse({help});
        ASSERT_EQ(c.action, CommandLine::Action::Help) << help;
        for (const char* flag : {"--port-file", "--fresh-day", "--drop-after", "--refuse-logins", "--max-connections",
                                 "--log-file", "dump --db"})
            EXPECT_NE(c.text.find(flag), std::string::npos) << flag;
    }
    const CommandLine version = parse({"--version"});
    ASSERT_EQ(version.action, CommandLine::Action::Version);
    EXPECT_EQ(version.text.rfind("hvr-sim ", 0), 0u) << version.text;
}

TEST(Options, TradingDatesMustBeRealDays) {
    EXPECT_TRUE(validTradingDate(20241231));
    EXPECT_TRUE(validTradingDate(20000229));
    EXPECT_FALSE(validTradingDate(19000229));
    EXPECT_FALSE(validTradingDate(20241301));
    EXPECT_FALSE(validTradingDate(20240100));
    EXPECT_TRUE(validTradingDate(todayTradingDate()));
}

}  // namespace
}  // namespace hvr::sim
