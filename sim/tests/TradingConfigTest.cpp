// The accounts-and-instruments file as the simulator reads it: both comment
// styles, and errors that point at the line.
#include <gtest/gtest.h>

#include <fstream>

#include "TempDir.h"
#include "common/TradingConfig.h"

namespace hvr::sim::testing {
namespace {

std::string writeConfig(const TempDir& dir, const std::string& text) {
    const std::string path = dir.file("trading.ini");
    std::ofstream(path) << text;
    return path;
}

std::string errorOf(const std::string& path) {
    try {
        tools::loadTradingConfig(path);
    } catch (const tools::ConfigError& e) {
        return e.what();
    }
    return "no error";
}

TEST(TradingConfigFile, AcceptsHashAndSemicolonCommentsOnTheirOwnAndAfterValues) {
    TempDir dir;
    const std::string path = writeConfig(dir,
                                         "; accounts\n"
                                         "[account.ann]\n"
                                         "password = pw   ; clear text\n"
                                         "balance = 2500  # in CNY\n"
                                         "\n"
                                         "# instruments\n"
                                         "[instrument.X1]\r\n"
                                         "  tick = 0.5 ;\n"
                                         "multiplier=10\n");
    const tools::TradingConfig config = tools::loadTradingConfig(path);
    ASSERT_EQ(config.accounts.count("ann"), 1u);
    EXPECT_EQ(config.accounts.at("ann").password, "pw");
    EXPECT_EQ(config.accounts.at("ann").balance, 2500.0);
    ASSERT_EQ(config.instruments.count("X1"), 1u);
    EXPECT_EQ(config.instruments.at("X1").tick, 0.5);
    EXPECT_EQ(config.instruments.at("X1").multiplier, 10u);
}

TEST(TradingConfigFile, ErrorsNameTheFileAndTheLine) {
    TempDir dir;
    const std::string header = "[account.ann]\npassword = pw\n";
    for (const auto& [body, expected] : std::vector<std::pair<std::string, std::string>>{
             {header + "balance = lots\n", ":3: \"account.ann.balance\" must be a number"},
             {header + "colour = red\n", ":3: unknown account key"},
             {header + "[desk.one]\n", ":3: unknown section \"desk.one\""},
             {header + "just words\n", ":3: expected \"key = value\""},
             {"tick = 1\n", ":1: \"tick\" is outside"},
             {header + "\n[instrument.X\n", ":4: a section header must end"},
         }) {
        const std::string path = writeConfig(dir, body);
        const std::string error = errorOf(path);
        EXPECT_EQ(error.rfind(path + expected, 0), 0u) << error;
    }
}

}  // namespace
}  // namespace hvr::sim::testing
