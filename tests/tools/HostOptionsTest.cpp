#include "cli/HostOptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace hvr::cli {
namespace {

ParsedOptions parse(std::vector<std::string> args) { return parseHostOptions(args, "/lib/default.so"); }

TEST(HostOptions, DefaultsNameLoopbackTheGivenModuleResumeModeAndNoDelay) {
    const ParsedOptions p = parse({"--port", "7001"});
    ASSERT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(p.options.host, "127.0.0.1");
    EXPECT_EQ(p.options.module, "/lib/default.so");
    EXPECT_EQ(p.options.pushMode, 0);
    EXPECT_EQ(p.options.nodelay, 1);
    EXPECT_FALSE(p.options.json);
    EXPECT_FALSE(p.showHelp);
}

TEST(HostOptions, TraderConfigNodeCarriesItsSixKeys) {
    const ParsedOptions p = parse({"--host", "::1", "--port", "7001", "--folder", "/tmp/f/", "--pushmode", "2",
                                   "--nodelay", "0", "--peertimeout", "4"});
    ASSERT_TRUE(p.error.empty()) << p.error;
    const auto node = makeTraderConfig(p.options);
    EXPECT_STREQ(node->child("host")->textValue(), "::1");
    EXPECT_EQ(node->child("port")->intValue(), 7001);
    EXPECT_STREQ(node->child("folder")->textValue(), "/tmp/f/");
    EXPECT_EQ(node->child("pushmode")->intValue(), 2);
    EXPECT_STREQ(node->child("nodelay")->textValue(), "0");
    EXPECT_STREQ(node->child("peertimeout")->textValue(), "4");
    const auto defaults = makeTraderConfig(parse({"--port", "1"}).options);
    EXPECT_STREQ(defaults->child("nodelay")->textValue(), "1");
    EXPECT_STREQ(defaults->child("peertimeout")->textValue(), "15");
    EXPECT_NE(parse({"--port", "1", "--peertimeout", "-1"}).error.find("--peertimeout"), std::string::npos);
}

TEST(HostOptions, ThreadsSharedPassesTheModeAndThePoolSizeThrough) {
    const auto shared = makeTraderConfig(parse({"--port", "1", "--threads", "shared", "--poolthreads", "3"}).options);
    EXPECT_STREQ(shared->child("threads")->textValue(), "shared");
    EXPECT_EQ(shared->child("poolthreads")->intValue(), 3);
    EXPECT_EQ(makeTraderConfig(parse({"--port", "1"}).options)->child("threads"), nullptr);  // the default mode
    EXPECT_NE(parse({"--port", "1", "--threads", "pool"}).error.find("--threads"), std::string::npos);
}

TEST(HostOptions, PortComesFromTheTraderConfigOrIsRequired) {
    EXPECT_NE(parse({}).error.find("--port is required"), std::string::npos);
    EXPECT_NE(parse({"--port", "0"}).error.find("--port"), std::string::npos);
    const std::string path = ::testing::TempDir() + "hvr_host_options_port.cfg";
    {
        std::ofstream out(path);
        out << "port = 7100\n";
    }
    const ParsedOptions p = parse({"--trader-config", path});
    std::remove(path.c_str());
    ASSERT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(p.options.port, 7100);
}

TEST(HostOptions, FlagsWinOverTheTraderConfigFile) {
    const std::string path = ::testing::TempDir() + "hvr_host_options_test.cfg";
    {
        std::ofstream out(path);
        out << "port = 7100\nfolder = /var/flow/\nuser = demo\npassword = demo\n";
    }
    const ParsedOptions p = parse({"--trader-config", path, "--port", "7200"});
    std::remove(path.c_str());
    ASSERT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(p.options.port, 7200);
    EXPECT_EQ(p.options.folder, "/var/flow/");
    EXPECT_EQ(p.options.user, "demo");
}

TEST(HostOptions, WrongCommandLinesAreRefusedWithAReason) {
    EXPECT_NE(parse({"--port", "1", "--pushmode", "3"}).error.find("--pushmode"), std::string::npos);
    EXPECT_NE(parse({"--port", "1", "--nodelay", "2"}).error.find("--nodelay"), std::string::npos);
    EXPECT_NE(parse({"--port", "70000"}).error.find("--port"), std::string::npos);
    EXPECT_NE(parse({"--port", "1", "--password", "demo"}).error.find("--password needs --user"), std::string::npos);
    EXPECT_TRUE(parse({"--port", "1", "--user", "demo"}).error.empty());  // the password comes from elsewhere
    EXPECT_NE(parse({"--port", "1", "--log-level", "debug"}).error.find("--log-level"), std::string::npos);
    EXPECT_FALSE(parse({"--colour"}).error.empty());
    EXPECT_FALSE(parse({"--port", "abc"}).error.empty());
    EXPECT_NE(parse({"--trader-config", "/nonexistent/x.cfg"}).error.find("cannot open"), std::string::npos);
}

TEST(HostOptions, HelpListsTheFlags) {
    const ParsedOptions p = parse({"-h"});
    EXPECT_TRUE(p.showHelp);
    EXPECT_TRUE(parse({"--version"}).showVersion);
    for (const char* flag : {"--host", "--port", "--folder", "--pushmode", "--nodelay", "--user", "--password",
                             "--resource", "--config", "--script", "--module", "--json", "--version"})
        EXPECT_NE(p.helpText.find(flag), std::string::npos) << flag;
}

}  // namespace
}  // namespace hvr::cli
