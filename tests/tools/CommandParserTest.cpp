#include "cli/CommandParser.h"

#include <gtest/gtest.h>

namespace hvr::cli {
namespace {

Command parsedOk(const std::string& line) {
    const ParsedCommand parsed = parseCommand(line);
    EXPECT_TRUE(parsed.command.has_value()) << line << " -> " << parsed.error;
    return parsed.command.value_or(Command{});
}

std::string errorOf(const std::string& line) {
    const ParsedCommand parsed = parseCommand(line);
    EXPECT_FALSE(parsed.command.has_value()) << line;
    return parsed.error;
}

TEST(CommandParser, OrderTakesCodeVolumePriceAndDefaultsToLimitDayOpen) {
    const Command c = parsedOk("buy IF2412 2 3500.2");
    EXPECT_EQ(c.kind, CommandKind::Buy);
    EXPECT_EQ(c.order.code, "IF2412");
    EXPECT_EQ(c.order.volume, 2u);
    EXPECT_DOUBLE_EQ(c.order.price, 3500.2);
    EXPECT_EQ(c.order.direction, '0');
    EXPECT_EQ(c.order.offset, '0');
    EXPECT_EQ(c.order.timeCondition, '3');
    EXPECT_EQ(c.order.priceType, '2');
}

TEST(CommandParser, OrderFlagsSetOffsetTimeConditionAndPriceTypeInAnyOrderAndCase) {
    const Command c = parsedOk("SELL au2412 1 480 IOC closetoday Market");
    EXPECT_EQ(c.kind, CommandKind::Sell);
    EXPECT_EQ(c.order.code, "au2412");  // codes are kept as typed
    EXPECT_EQ(c.order.direction, '1');
    EXPECT_EQ(c.order.offset, '3');
    EXPECT_EQ(c.order.timeCondition, '1');
    EXPECT_EQ(c.order.priceType, '1');
    EXPECT_EQ(parsedOk("sell X 1 1 close section").order.offset, '1');
    EXPECT_EQ(parsedOk("sell X 1 1 close section").order.timeCondition, '2');
}

TEST(CommandParser, ZeroVolumeIsLeftForTheServerToRefuse) {
    EXPECT_EQ(parsedOk("buy IF2412 0 3500").order.volume, 0u);
}

TEST(CommandParser, WrongOrderArgumentsSayWhatIsWrong) {
    EXPECT_NE(errorOf("buy IF2412 1").find("missing arguments; usage: buy CODE VOLUME PRICE"), std::string::npos);
    EXPECT_NE(errorOf("buy IF2412 -1 3500").find("VOLUME must be a whole number"), std::string::npos);
    EXPECT_NE(errorOf("buy IF2412 1.5 3500").find("VOLUME must be a whole number"), std::string::npos);
    EXPECT_NE(errorOf("buy IF2412 99999999999 3500").find("VOLUME"), std::string::npos);
    EXPECT_NE(errorOf("sell IF2412 1 35x0").find("PRICE must be a number, got '35x0'"), std::string::npos);
    EXPECT_NE(errorOf("sell IF2412 1 nan").find("PRICE must be a number"), std::string::npos);
    EXPECT_NE(errorOf("buy IF2412 1 3500 fok").find("unknown flag 'fok'"), std::string::npos);
}

TEST(CommandParser, UnknownCommandsAndStrayArgumentsAreNamed) {
    EXPECT_EQ(errorOf("byu IF2412 1 3500"), "unknown command 'byu' (type help for the list)");
    EXPECT_EQ(errorOf("funds now"), "funds: takes no arguments");
    EXPECT_NE(errorOf("login demo demo extra").find("login: too many arguments"), std::string::npos);
    EXPECT_NE(errorOf("cancel").find("missing ORDERID"), std::string::npos);
    EXPECT_NE(errorOf("cancel abc").find("must be a number or 'last'"), std::string::npos);
    EXPECT_NE(errorOf("cancel 1 2").find("too many arguments"), std::string::npos);
    EXPECT_NE(errorOf("wait soon").find("TIMEOUT_MS must be a whole number"), std::string::npos);
    EXPECT_NE(errorOf("sleep").find("usage: sleep MS"), std::string::npos);
}

TEST(CommandParser, BlankLinesAndCommentsAreEmptyCommands) {
    EXPECT_EQ(parsedOk("").kind, CommandKind::Empty);
    EXPECT_EQ(parsedOk("   \t ").kind, CommandKind::Empty);
    EXPECT_EQ(parsedOk("# a comment").kind, CommandKind::Empty);
    EXPECT_EQ(parsedOk("funds   # trailing comment").kind, CommandKind::Funds);
}

TEST(CommandParser, LoginKeepsCredentialsAsTyped) {
    const Command c = parsedOk("Login Demo PassWord");
    EXPECT_EQ(c.kind, CommandKind::Login);
    EXPECT_EQ(c.user, "Demo");
    EXPECT_EQ(c.password, "PassWord");
    EXPECT_TRUE(parsedOk("login").user.empty());
}

TEST(CommandParser, CancelAcceptsAnIdOrLast) {
    EXPECT_EQ(parsedOk("cancel 17").orderRef, "17");
    EXPECT_EQ(parsedOk("cancel last").orderRef, "last");
}

TEST(CommandParser, WaitAndAwaitTakeOptionalTimeouts) {
    EXPECT_EQ(parsedOk("wait").timeoutMs, -1);
    EXPECT_EQ(parsedOk("wait 250").timeoutMs, 250);

    Command filled = parsedOk("await filled last 3000");
    EXPECT_EQ(filled.awaitEvent, AwaitEvent::Filled);
    EXPECT_EQ(filled.orderRef, "last");
    EXPECT_EQ(filled.timeoutMs, 3000);

    Command trades = parsedOk("await trades 4");
    EXPECT_EQ(trades.awaitEvent, AwaitEvent::Trades);
    EXPECT_EQ(trades.count, 4u);
    EXPECT_EQ(trades.timeoutMs, -1);

    EXPECT_EQ(parsedOk("await login 100").awaitEvent, AwaitEvent::LoggedIn);
    EXPECT_EQ(parsedOk("await logins 2").count, 2u);
    EXPECT_EQ(parsedOk("await queuing 5").awaitEvent, AwaitEvent::Queuing);
}

TEST(CommandParser, WrongAwaitAndExpectAreExplained) {
    EXPECT_NE(errorOf("await").find("missing event"), std::string::npos);
    EXPECT_NE(errorOf("await rain").find("unknown event 'rain'"), std::string::npos);
    EXPECT_NE(errorOf("await filled").find("missing ORDERID"), std::string::npos);
    EXPECT_NE(errorOf("await trades many").find("N must be a whole number"), std::string::npos);
    EXPECT_NE(errorOf("await login 10 20").find("too many arguments"), std::string::npos);
    EXPECT_NE(errorOf("expect pushes").find("missing arguments"), std::string::npos);
    EXPECT_NE(errorOf("expect luck 1").find("unknown counter 'luck'"), std::string::npos);

    const Command expect = parsedOk("expect duplicates 0");
    EXPECT_EQ(expect.expectCounter, ExpectCounter::Duplicates);
    EXPECT_EQ(expect.count, 0u);
}

}  // namespace
}  // namespace hvr::cli
