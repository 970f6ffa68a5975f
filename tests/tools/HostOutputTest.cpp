// What hvr-host prints, checked without a trader: the JSON and text forms of
// the console, record times, JSON table rows, the adapter's warning about
// left-out positions, script checking and where the module is looked for.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "cli/CommandLoop.h"
#include "cli/Console.h"
#include "cli/ConsolePresenter.h"
#include "common/SessionCore.h"
#include "cli/ModuleLocation.h"
#include "cli/RecordTables.h"
#include "cli/RecordWords.h"
#include "host/NXSRecords.h"

namespace hvr::cli {
namespace {

using nlohmann::json;

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> objects;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) objects.push_back(json::parse(line));
    return objects;
}

TEST(HostOutput, JsonFormPrintsEveryKindOfLineAsOneObjectWithTime) {
    std::ostringstream out;
    Console console(out, Console::Form::Json);
    console.print("sent order\nsecond line");
    console.command("buy IF2412 1 3500");
    console.error("failed: x");
    console.record("[answer] funds:\ntable", {{{"type", "row"}, {"Code", "IF2412"}}, {{"type", "answer"}}});
    console.print("bad byte \xff here");  // replaced, never a broken line
    const std::vector<json> objects = jsonLines(out.str());
    ASSERT_EQ(objects.size(), 6u) << out.str();
    EXPECT_EQ(objects[0]["type"], "note");
    EXPECT_EQ(objects[0]["text"], "sent order\nsecond line");
    EXPECT_EQ(objects[1]["type"], "command");
    EXPECT_EQ(objects[1]["line"], "buy IF2412 1 3500");
    EXPECT_EQ(objects[2]["type"], "error");
    EXPECT_EQ(objects[3]["Code"], "IF2412");
    EXPECT_EQ(objects[3]["time"], objects[4]["time"]);  // one record, one time
    EXPECT_EQ(objects[5]["text"], "bad byte \xef\xbf\xbd here");
    // ISO 8601 with the zone's offset.
    const std::regex iso("20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}");
    for (const json& o : objects) EXPECT_TRUE(std::regex_match(o["time"].get<std::string>(), iso)) << o["time"];
}

TEST(HostOutput, IsoTimeCarriesTheZonesOffset) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    setenv("TZ", "CST-8", 1);  // eight hours east of UTC, no tz database needed
    tzset();
    const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796689459452LL));
    EXPECT_EQ(isoTime(when), "2026-12-08T08:24:19.452+08:00");
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(isoTime(when), "2026-12-08T00:24:19.452+00:00");
    if (saved != nullptr) setenv("TZ", before.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(HostOutput, TextFormStampsEveryEntryAndEchoesCommands) {
    std::ostringstream out;
    Console console(out);
    console.command("funds");
    console.record("[event] connected", {});
    console.print("released");
    const std::string text = out.str();
    const std::string stamp = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ";
    EXPECT_TRUE(std::regex_match(
        text, std::regex(stamp + "> funds\n" + stamp + "\\[event\\] connected\n" + stamp + "released\n")))
        << text;
}

TEST(HostOutput, LogFileHasDatesAHeaderAndFooterAndTypedCommandsWithoutPasswords) {
    std::ostringstream screen;
    std::ostringstream file;
    Console console(screen);
    console.setLogStream(&file);
    SessionStart start;
    start.version = "1.0.0";
    start.startedAt = std::chrono::system_clock::now();
    start.pid = 42;
    start.systemUser = "ops";
    start.machine = "desk1";
    start.server = "127.0.0.1:4400";
    start.user = "demo";
    start.arguments = maskedArguments({"--port", "4400", "--user", "demo", "--password", "secret", "--password=x"});
    start.settings = {{"pushmode", "0"}, {"peertimeout", "15"}};
    console.logSessionStart(start);
    console.typed("login demo secret");
    console.command("login bob hidden  # the second account");
    console.record("[event] connected", {});
    console.logSessionEnd(1);

    const std::string stamp = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ";
    const std::string dated = "20[0-9]{2}-[0-9]{2}-[0-9]{2} " + stamp;
    EXPECT_TRUE(std::regex_match(screen.str(),
                                 std::regex(stamp + "> login bob hidden  # the second account\n" + stamp +
                                            "\\[event\\] connected\n")))
        << screen.str();
    EXPECT_TRUE(std::regex_match(
        file.str(),
        std::regex("==== hvr-host 1\\.0\\.0 session started 20[0-9-]{8} [0-9:]{8} [+-][0-9]{4}, pid 42, ops@desk1\n"
                   "     server 127\\.0\\.0\\.1:4400, user demo\n"
                   "     command line: --port 4400 --user demo --password \\*\\*\\*\\* --password=\\*\\*\\*\\*\n"
                   "     settings: pushmode 0, peertimeout 15\n" +
                   dated + "> login demo \\*\\*\\*\\*\n" + dated + "> login bob \\*\\*\\*\\*\n" + dated +
                   "\\[event\\] connected\n"
                   "==== session ended 20[0-9-]{8} [0-9:]{8} [+-][0-9]{4}, exit status 1\n")))
        << file.str();
    EXPECT_EQ(commandForLog("LOGIN demo"), "LOGIN demo");  // no password typed: nothing to hide
    EXPECT_EQ(commandForLog("buy IF2412 1 3500"), "buy IF2412 1 3500");

    std::ostringstream jsonScreen;
    std::ostringstream jsonFile;
    Console json(jsonScreen, Console::Form::Json);
    json.setLogStream(&jsonFile);
    json.logSessionStart(start);
    json.typed("funds");
    json.command("login demo secret");
    json.logSessionEnd(0);
    const auto onScreen = jsonLines(jsonScreen.str());
    ASSERT_EQ(onScreen.size(), 1u);
    EXPECT_EQ(onScreen[0].at("line"), "login demo secret");
    const auto inFile = jsonLines(jsonFile.str());
    ASSERT_EQ(inFile.size(), 4u);
    EXPECT_EQ(inFile[0].at("type"), "session");
    EXPECT_EQ(inFile[0].at("server"), "127.0.0.1:4400");
    EXPECT_EQ(inFile[0].at("settings").at("peertimeout"), "15");
    EXPECT_TRUE(inFile[1].at("typed").get<bool>());
    EXPECT_EQ(inFile[2].at("line"), "login demo ****");
    EXPECT_EQ(inFile[3].at("exitStatus"), 0);
}

TEST(HostOutput, RecordTimesReadAsEpochMillisecondsOrSeconds) {
    const std::regex millis("20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.452");
    EXPECT_TRUE(std::regex_match(recordTimeText(1796689459452ULL), millis)) << recordTimeText(1796689459452ULL);
    EXPECT_TRUE(std::regex_match(recordTimeText(1796689459ULL),
                                 std::regex("20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")));
    // Small values are not times since the epoch: shown as numbers.
    EXPECT_EQ(recordTimeText(0), "0");
    EXPECT_EQ(recordTimeText(93000), "93000");
}

TEST(HostOutput, JsonRowsCarryTheTableColumnsWithNumbersAsNumbers) {
    tools::TradeRecord t;
    t.code = "黄金2412";
    t.tradeId = "7";
    t.orderId = "12";
    t.direction = '1';
    t.offsetType = '0';
    t.volume = 2;
    t.price = 480.02;
    t.amount = 960040.0;
    t.tradeTime = 0;
    const RecordTable table = tradesRecords({t});

    const std::vector<json> rows = tableRows(table);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), table.columns.size());
    for (const Column& column : table.columns) EXPECT_TRUE(rows[0].contains(column.title)) << column.title;
    EXPECT_EQ(rows[0]["Code"], "黄金2412");
    EXPECT_EQ(rows[0]["Side"], "sell");
    EXPECT_EQ(rows[0]["Volume"], 2);
    EXPECT_EQ(rows[0]["Price"], 480.02);
    EXPECT_EQ(rows[0]["Amount"], 960040.0);
    // The text table shows the same row formatted.
    const std::string text = tableText(table);
    EXPECT_NE(text.find("960,040.00"), std::string::npos) << text;
    EXPECT_NE(text.find("Time"), std::string::npos) << text;
}

// The adapter's warning, in GBK: 持仓合约不在合约目录中,已略过:%s
constexpr char LEFT_OUT_FORMAT[] =
    "[TraderHVR]\xb3\xd6\xb2\xd6\xba\xcf\xd4\xbc\xb2\xbb\xd4\xda\xba\xcf\xd4\xbc\xc4\xbf\xc2\xbc\xd6\xd0,"
    "\xd2\xd1\xc2\xd4\xb9\xfd:%s";

TEST(HostOutput, PositionsLeftOutByTheAdapterAreNamedWithTheirAnswerOnce) {
    for (const Console::Form form : {Console::Form::Text, Console::Form::Json}) {
        std::ostringstream out;
        Console console(out, form);
        ConsolePresenter presenter(console);
        tools::SessionCore listener(presenter, nullptr, true);
        listener.logMessage(kra::LOG_LEVEL_WARN, LEFT_OUT_FORMAT, "AU2412");
        listener.logMessage(kra::LOG_LEVEL_INFO, "[TraderHVR]other");
        kra::NXSArray* positions = kra::NXSArray::create();
        listener.onPositionsAnswer(positions);
        listener.onPositionsAnswer(positions);  // the next answer starts afresh
        positions->release();

        const std::string text = out.str();
        if (form == Console::Form::Text) {
            EXPECT_NE(text.find("[log warn] [TraderHVR]持仓合约不在合约目录中,已略过:AU2412"), std::string::npos)
                << text;
            const std::string note = "(left out by the adapter: AU2412 is not in the host's contract catalog)";
            const std::size_t at = text.find(note);
            ASSERT_NE(at, std::string::npos) << text;
            EXPECT_EQ(text.find(note, at + 1), std::string::npos) << text;
        } else {
            const std::vector<json> objects = jsonLines(text);
            ASSERT_EQ(objects.size(), 4u) << text;
            EXPECT_EQ(objects[0]["type"], "log");
            EXPECT_EQ(objects[0]["level"], "warn");
            EXPECT_EQ(objects[2]["type"], "answer");
            EXPECT_EQ(objects[2]["leftOut"], json::array({"AU2412"}));
            EXPECT_EQ(objects[3]["leftOut"], json::array());
        }
    }
}

TEST(HostOutput, ConnectionEndedNamesEndOfFileAndSocketErrors) {
    EXPECT_EQ(connectionEndedText(2), "End of file: the server closed the connection (2)");
    EXPECT_EQ(connectionEndedText(104), "Connection reset by peer (104)");
}

TEST(HostOutput, ScriptCheckNamesTheFirstWrongLine) {
    EXPECT_EQ(checkScript({"connect", "# note", "", "funds"}, "a.script"), "");
    const std::string wrong = checkScript({"connect", "buy IF2412 1 3500", "byu IF2412 1 3500", "funds x"}, "a.script");
    EXPECT_EQ(wrong.rfind("a.script:3: unknown command 'byu'", 0), 0u) << wrong;
}

TEST(HostOutput, ModuleIsLookedForNextToTheExecutableThenByItsSoname) {
    const std::string root = ::testing::TempDir() + "hvr_module_location/";
    std::filesystem::create_directories(root + "bin");
    std::filesystem::create_directories(root + "lib");
    const std::vector<std::string> candidates = {"../lib/libTraderHVR.so.1", "../libTraderHVR.so"};
    EXPECT_EQ(defaultModulePath(root + "bin", candidates, "libTraderHVR.so.1"), "libTraderHVR.so.1");
    std::ofstream(root + "libTraderHVR.so") << "x";
    EXPECT_EQ(defaultModulePath(root + "bin", candidates, "libTraderHVR.so.1"), root + "libTraderHVR.so");
    std::ofstream(root + "lib/libTraderHVR.so.1") << "x";
    EXPECT_EQ(defaultModulePath(root + "bin", candidates, "libTraderHVR.so.1"), root + "lib/libTraderHVR.so.1");
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace hvr::cli
