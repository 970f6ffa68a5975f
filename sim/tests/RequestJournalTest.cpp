// The request journal and the connection faults, on the whole server: what
// the journal says arrived, on which connection and with which fate, and
// how each fault treats the one connection it is given. Waits are on a
// packet or on the server closing (the server journals a request before it
// answers it, and a close before the client can see it), and once, for a
// client that has gone, on the journal line itself.
#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "LoopbackServer.h"
#include "RawConnection.h"
#include "ops/LoginRequest.h"

namespace hvr::sim::testing {
namespace {

struct JournalLine {
    int64_t time = 0;
    std::string what, conn;
    std::vector<std::string> rest;
};

class Journaled : public LoopbackServer {
protected:
    void startJournaled(SimOptions options = {}) {
        options.requestJournal = dir.file("requests.journal");
        start(options);
    }
    std::vector<JournalLine> lines() {
        std::ifstream in(dir.file("requests.journal"));
        std::vector<JournalLine> out;
        std::string text;
        while (std::getline(in, text)) {
            std::istringstream words(text);
            JournalLine l;
            words >> l.time >> l.what >> l.conn;
            for (std::string w; words >> w;) l.rest.push_back(w);
            out.push_back(l);
        }
        return out;
    }
    std::vector<JournalLine> linesOf(const std::string& what) {
        std::vector<JournalLine> out;
        for (const JournalLine& l : lines())
            if (l.what == what) out.push_back(l);
        return out;
    }
    // The journal is the only sign of what the server does with a connection
    // whose client has gone: it is read until the line shows up (bounded).
    bool waitForLine(const std::string& what, const std::string& conn = std::string()) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const auto found = [&] {
            for (const JournalLine& l : linesOf(what))
                if (conn.empty() || l.conn == conn) return true;
            return false;
        };
        while (!found()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    static exchg::ReqOrderInsert order(const std::string& tag) {
        return limitOrder("IF2412", IF_LAST, 1, exchg::DT_Long, exchg::OF_Open, tag);
    }
};

TEST_F(Journaled, EveryRequestIsJournaledWithItsKeyBeforeItIsAnswered) {
    startJournaled();
    TestClient client(port);
    exchg::ReqLogin login;
    buildLoginRequest("demo", "demo", "token 7", 42, login);
    client.send(FC_CMD_LOGIN, 1, &login);
    client.receiveAs<exchg::AnsLogin>(FC_CMD_LOGIN);
    const exchg::ReqOrderInsert insert = order("tag-1");
    client.send(FC_CMD_ORDER_INSERT, 2, &insert);
    client.receiveAs<exchg::AnsOrderInsert>(FC_CMD_ORDER_INSERT);
    exchg::ReqOrderCancel cancel;
    cancel.set_orderid(99);
    client.send(FC_CMD_ORDER_CANCEL, 3, &cancel);
    client.send(FC_QRY_ACCOUNT_INFO, 4);
    while (client.receive().header.functionCode != FC_QRY_ACCOUNT_INFO) {
    }

    const auto accepts = linesOf("accept");
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(accepts[0].rest.at(1), "none");
    const auto requests = linesOf("in");
    ASSERT_EQ(requests.size(), 4u);
    const std::vector<std::vector<std::string>> expected = {{"1", "1", "handled", "token%207/42"},
                                                            {"2", "2", "handled", "tag-1"},
                                                            {"3", "3", "handled", "99"},
                                                            {"35", "4", "handled", "-"}};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].conn, accepts[0].conn);
        EXPECT_EQ(requests[i].rest, expected[i]);
        EXPECT_GE(requests[i].time, accepts[0].time);
    }
    // Every receive says when it was asked for, and whether it drained the socket.
    const auto reads = linesOf("read");
    ASSERT_FALSE(reads.empty());
    for (const JournalLine& r : reads) {
        EXPECT_LE(std::stoll(r.rest.at(1)), r.time);
        EXPECT_TRUE(r.rest.at(2) == "0" || r.rest.at(2) == "1");
    }
}

// A client that closes while an answer waits unread in its socket makes its
// system send a reset instead of the end of the stream: still the client
// closing, and said so.
TEST_F(Journaled, AClientClosingWithAnAnswerUnreadIsClosedByTheClient) {
    SimOptions options;
    options.heartbeatSeconds = 0;  // nothing is sent but the answer
    startJournaled(options);
    {
        RawConnection client(port);
        std::string heartbeat;
        appendRequestPacket(heartbeat, FC_HEART_BEAT, 1, nullptr, 0);
        ASSERT_TRUE(client.send(heartbeat));
        ASSERT_TRUE(client.readableWithin(std::chrono::seconds(10)));  // the answer is in, unread
    }
    ASSERT_TRUE(waitForLine("close"));
    const auto closes = linesOf("close");
    ASSERT_EQ(closes.size(), 1u);
    std::string why;
    for (const std::string& word : closes[0].rest) why += word;
    EXPECT_EQ(why.rfind("closed%20by%20the%20client%20(reset", 0), 0u) << why;
}

TEST_F(Journaled, PacketsPastTheDropAfterCountAreReadAndJournaledAsDiscarded) {
    SimOptions options;
    options.faults.dropAfter = 1;
    options.faults.answerDelayMs = 200;  // the session is still writing when the rest arrives
    startJournaled(options);
    TestClient client(port);
    std::string burst;
    for (uint32_t n = 1; n <= 3; ++n) {
        const std::string payload = order("t" + std::to_string(n)).SerializeAsString();
        appendRequestPacket(burst, FC_CMD_ORDER_INSERT, n, payload.data(), payload.size());
    }
    client.sendRaw(burst);
    EXPECT_EQ(client.receiveAs<exchg::AnsOrderInsert>(FC_CMD_ORDER_INSERT).usertag(), "t1");
    EXPECT_TRUE(client.closedByServer());
    const auto requests = linesOf("in");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].rest.at(2), "handled");
    EXPECT_EQ(requests[1].rest.at(2), "discarded");
    EXPECT_EQ(requests[2].rest.at(2), "discarded");
}

TEST_F(Journaled, ResetFaultReadsNothingAndResetsOnlyItsConnection) {
    SimOptions options;
    options.faults.connectionFaults = {{ConnectionFault::Kind::Reset, 100}};
    startJournaled(options);
    TestClient faulty(port);
    try {
        faulty.send(FC_QRY_ORDERS, 1);
    } catch (const boost::system::system_error&) {
        // the reset came first (a slow machine): nothing was read either way
    }
    EXPECT_TRUE(faulty.closedByServer());
    TestClient normal(port);
    normal.send(FC_QRY_ORDERS, 1);
    EXPECT_EQ(normal.receive().header.functionCode, FC_QRY_ORDERS);

    const auto accepts = linesOf("accept");
    ASSERT_EQ(accepts.size(), 2u);
    EXPECT_EQ(accepts[0].rest.at(1), "reset:100");
    EXPECT_EQ(accepts[1].rest.at(1), "none");
    const auto requests = linesOf("in");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].conn, accepts[1].conn);
}

TEST_F(Journaled, TrickleFaultHandlesWhatItReadOneByteAtATimeThenResets) {
    SimOptions options;
    options.faults.connectionFaults = {{ConnectionFault::Kind::Trickle, 40}};
    startJournaled(options);
    TestClient client(port);
    std::string burst;
    for (uint32_t n = 1; n <= 4; ++n) appendRequestPacket(burst, FC_QRY_TRADES, n, nullptr, 0);
    client.sendRaw(burst);  // 64 bytes: two whole packets within the first 40
    EXPECT_EQ(client.receive().header.requestNo, 1u);
    EXPECT_EQ(client.receive().header.requestNo, 2u);
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(linesOf("in").size(), 2u);
    const auto reads = linesOf("read");
    EXPECT_EQ(reads.size(), 40u);
    for (const JournalLine& r : reads) EXPECT_EQ(r.rest.at(0), "1");
}

TEST_F(Journaled, StallFaultReadsNothingForItsTimeThenDiscardsWithoutAnswering) {
    SimOptions options;
    options.faults.connectionFaults = {{ConnectionFault::Kind::Stall, 300}};
    startJournaled(options);
    {
        TestClient stalled(port);
        stalled.send(FC_QRY_POSITION, 1);
        stalled.send(FC_QRY_POSITION, 2);
    }  // closed before the stall ends: what it wrote must still arrive
    TestClient next(port);
    next.send(FC_QRY_POSITION, 1);
    EXPECT_EQ(next.receive().header.functionCode, FC_QRY_POSITION);
    const auto accepts = linesOf("accept");
    ASSERT_EQ(accepts.size(), 2u);
    // Its close comes once the stall is over and it has read to the end.
    ASSERT_TRUE(waitForLine("close"));
    std::vector<JournalLine> reads;
    for (const JournalLine& l : linesOf("read"))
        if (l.conn == accepts[0].conn) reads.push_back(l);
    ASSERT_FALSE(reads.empty());
    EXPECT_GE(std::stoll(reads[0].rest.at(1)) - accepts[0].time, 300'000'000);
    std::vector<std::string> fates;
    for (const JournalLine& l : linesOf("in"))
        if (l.conn == accepts[0].conn) fates.push_back(l.rest.at(2));
    EXPECT_EQ(fates, (std::vector<std::string>{"discarded", "discarded"}));
}

// A held connection waits for its turn, whatever the time: the first
// let-go (asked for before any connection) lets the first held one go as it
// comes; the second held one reads nothing until the second.
TEST_F(Journaled, HeldFaultsReadNothingUntilLetGoInTheOrderTheyCame) {
    SimOptions options;
    options.faults.connectionFaults = {{ConnectionFault::Kind::Stall, 0, true}, {ConnectionFault::Kind::Reset, 0, true}};
    startJournaled(options);
    app->letGoNextHeld();
    {
        TestClient first(port);
        first.send(FC_QRY_POSITION, 1);
    }  // closed: what it wrote is still read, and discarded
    TestClient second(port);
    second.send(FC_QRY_POSITION, 1);
    TestClient normal(port);  // accepted after the second: it is held by now
    normal.send(FC_QRY_POSITION, 1);
    EXPECT_EQ(normal.receive().header.functionCode, FC_QRY_POSITION);
    const auto accepts = linesOf("accept");
    ASSERT_EQ(accepts.size(), 3u);
    ASSERT_TRUE(waitForLine("close", accepts[0].conn));
    EXPECT_EQ(accepts[0].rest.at(1), "hold");
    EXPECT_EQ(accepts[1].rest.at(1), "hold-reset");
    const auto fatesOf = [&](const std::string& conn) {
        std::vector<std::string> fates;
        for (const JournalLine& l : linesOf("in"))
            if (l.conn == conn) fates.push_back(l.rest.at(2));
        return fates;
    };
    EXPECT_EQ(fatesOf(accepts[0].conn), std::vector<std::string>{"discarded"});
    for (const JournalLine& l : lines()) {
        if (l.what == "accept") continue;
        EXPECT_NE(l.conn, accepts[1].conn) << l.what;  // held: nothing read
    }

    app->letGoNextHeld();
    ASSERT_TRUE(waitForLine("close", accepts[1].conn));
    EXPECT_TRUE(second.closedByServer());
    EXPECT_TRUE(fatesOf(accepts[1].conn).empty());
}

}  // namespace
}  // namespace hvr::sim::testing
