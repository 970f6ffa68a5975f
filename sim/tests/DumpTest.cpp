// `hvr-sim dump`: the stored day as text, CSV and JSON, read while the
// server runs, and the renderings' quoting of awkward cells.
#include <sstream>

#include "DumpCommand.h"
#include "DumpTable.h"
#include "LoopbackServer.h"

namespace hvr::sim::testing {
namespace {

struct DumpRun {
    int code = -1;
    std::string out;
    std::string err;
};

DumpRun dump(std::vector<std::string> args) {
    std::ostringstream out, err;
    DumpRun run;
    run.code = runDump(args, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(LoopbackServer, DumpShowsTheStoredDayDecodedWhileTheServerRuns) {
    start();
    TestClient trader(port);
    trader.login("demo", "demo");
    trader.insert("IF2412", IF_LAST, 1, exchg::DT_Long);  // fills at once: order 1, trade 1
    for (int i = 0; i < 3; ++i) trader.receivePush();
    trader.insert("IF2412", IF_LAST - 1002000, 2, exchg::DT_Long);  // rests at 3399.8: order 2
    roundTrip(trader);
    const std::string db = dir.file("sim.db");

    const DumpRun orders = dump({"--db", db, "orders"});
    ASSERT_EQ(orders.code, 0) << orders.err;
    EXPECT_TRUE(contains(orders.out, "3399.8")) << orders.out;
    EXPECT_TRUE(contains(orders.out, "all traded")) << orders.out;
    EXPECT_TRUE(contains(orders.out, "queuing")) << orders.out;

    const DumpRun json = dump({"--db", db, "--json", "orders"});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_TRUE(contains(json.out, "\"order\": 2, \"user\": \"demo\", \"instrument\": \"IF2412\", \"side\": \"buy\", "
                                   "\"offset\": \"open\", \"price\": 3399.8, \"qty\": 2"))
        << json.out;

    const DumpRun trades = dump({"--db", db, "--csv", "trades"});
    ASSERT_EQ(trades.code, 0) << trades.err;
    EXPECT_EQ(trades.out.rfind("trade,order,user,instrument,side,offset,price,qty,amount,", 0), 0u) << trades.out;
    EXPECT_TRUE(contains(trades.out, "\r\n1,1,demo,IF2412,buy,open,3500,1,1050000,")) << trades.out;

    const DumpRun pushes = dump({"--db", db, "pushes"});
    ASSERT_EQ(pushes.code, 0) << pushes.err;
    EXPECT_EQ(pushes.out.rfind("user  push  kind   order  trade  instrument  side  offset", 0), 0u) << pushes.out;
    // A push's fields as JSON fields; a fill has no state, an order no trade id.
    const DumpRun pushJson = dump({"--db", db, "--json", "pushes"});
    ASSERT_EQ(pushJson.code, 0) << pushJson.err;
    EXPECT_TRUE(contains(pushJson.out, "\"kind\": \"trade\", \"order\": 1, \"trade\": 1, \"instrument\": \"IF2412\", "
                                       "\"side\": \"buy\", \"offset\": \"open\", \"price\": 3500, \"qty\": 1, "
                                       "\"amount\": 1050000, \"time\": "))
        << pushJson.out;
    EXPECT_TRUE(contains(pushJson.out, "\"kind\": \"order\", \"order\": 2, \"instrument\": \"IF2412\", \"side\": \"buy\", "
                                       "\"offset\": \"open\", \"price\": 3399.8, \"qty\": 2, \"traded\": 0, "
                                       "\"left\": 2, \"state\": \"queuing\", \"time\": "))
        << pushJson.out;

    const DumpRun day = dump({"--db", db, "--csv", "day"});
    ASSERT_EQ(day.code, 0) << day.err;
    EXPECT_EQ(day.out, "trading_date,next_order,next_trade,next_session\r\n20241202,3,2,2\r\n");

    const DumpRun positions = dump({"--db", db, "--json", "positions"});
    ASSERT_EQ(positions.code, 0) << positions.err;
    EXPECT_EQ(positions.out, "[\n {\"user\": \"demo\", \"instrument\": \"IF2412\", \"side\": \"long\", "
                             "\"yesterday\": 0, \"today\": 1, \"cost\": 1050000, \"margin\": 126000}\n]\n");

    const DumpRun accounts = dump({"--db", db, "--json", "accounts"});
    ASSERT_EQ(accounts.code, 0) << accounts.err;
    EXPECT_TRUE(contains(accounts.out, "\"user\": \"demo\", \"prebalance\": 10000000,")) << accounts.out;
}

TEST(Dump, UsageErrorsExitTwoAndAnUnreadableDatabaseOne) {
    EXPECT_EQ(dump({"orders"}).code, 2);                               // no --db
    EXPECT_EQ(dump({"--db", "x.db"}).code, 2);                         // no table
    EXPECT_EQ(dump({"--db", "x.db", "position"}).code, 2);             // unknown table
    EXPECT_EQ(dump({"--db", "x.db", "--json", "--csv", "orders"}).code, 2);
    EXPECT_EQ(dump({"--db", "x.db", "orders", "trades"}).code, 2);     // two tables
    TempDir dir;
    const DumpRun missing = dump({"--db", dir.file("missing.db"), "orders"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(contains(missing.err, "missing.db")) << missing.err;
    EXPECT_EQ(dump({"--help"}).code, 0);
}

TEST(DumpTable, CsvAndJsonQuoteAwkwardCells) {
    DumpTable table;
    table.columns = {"id", "note"};
    table.rows.push_back({DumpCell{"-1.5", true}, DumpCell{"a,b \"q\"\nnext\x01", false}});

    std::ostringstream csv;
    writeDumpTable(table, DumpFormat::Csv, csv);
    EXPECT_EQ(csv.str(), "id,note\r\n-1.5,\"a,b \"\"q\"\"\nnext\x01\"\r\n");

    std::ostringstream json;
    writeDumpTable(table, DumpFormat::Json, json);
    EXPECT_EQ(json.str(), "[\n {\"id\": -1.5, \"note\": \"a,b \\\"q\\\"\\u000anext\\u0001\"}\n]\n");

    std::ostringstream text;
    writeDumpTable(DumpTable{{"id", "name"}, {{DumpCell{"7", true}, DumpCell{"x", false}}}}, DumpFormat::Text, text);
    EXPECT_EQ(text.str(), "id  name\n--------\n 7  x\n");
}

}  // namespace
}  // namespace hvr::sim::testing
