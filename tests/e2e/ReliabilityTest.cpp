// The trader driven the way a busy host and a bad day drive it: host threads
// racing each other and the network thread, callbacks that throw, a server
// that is away, a flow file that cannot be kept, data that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/error.hpp>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/PeerPackets.h"
#include "support/TraderSession.h"
#include "texts/LogText.h"

namespace hvr::test {
namespace {

using namespace std::chrono_literals;

// A port nobody listens on: bound once, then freed.
uint16_t closedPort() {
    ScriptedServer probe;
    return probe.port();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Reliability : public ::testing::Test {
protected:
    void configure(uint16_t port, kra::ITraderListener* l = nullptr) {
        auto config = makeConfig({"127.0.0.1", std::to_string(port), dir.prefix(), ""});
        ASSERT_TRUE(trader->init(config.get()));
        trader->registerListener(l != nullptr ? l : &listener);
    }
    void connectTo(ScriptedServer& server, kra::ITraderListener* l = nullptr) {
        configure(server.port(), l);
        trader->connect();
        ASSERT_TRUE(server.waitForConnections(1));
    }

    TempDir dir;
    TestListener listener;
    TraderHandle trader;
};

// One host thread logs in again and again while another re-reads the same
// configuration, and the server accepts every login: the answer opens the
// flow record while init lets go of it.
TEST_F(Reliability, InitRacingSuccessfulLoginAnswersNeverCrashes) {
    ScriptedServer server;
    connectTo(server);
    ASSERT_TRUE(listener.waitForEvent(0, 0));
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), ""});

    constexpr int LOGINS = 400;
    std::atomic<bool> done{false};
    std::thread answerer([&] {
        for (int i = 0; i < LOGINS; ++i) {
            if (!server.waitPacket(FC_CMD_LOGIN)) break;
            server.send(packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261208, static_cast<uint32_t>(i))));
        }
    });
    std::thread initer([&] {
        while (!done.load()) trader->init(config.get());
    });
    for (int i = 0; i < LOGINS; ++i) trader->login("racer", "pw", "");
    EXPECT_TRUE(listener.waitFor([&] { return listener.loginResults.size() == LOGINS; }, 30s));
    done.store(true);
    initer.join();
    answerer.join();
    for (const LoginResult& r : listener.loginResults) EXPECT_TRUE(r.succeeded);
    EXPECT_EQ(listener.countLogs(LOG_FLOW_UNAVAILABLE), 0u);
}

// A listener whose callbacks throw: each exception is logged once at level
// 104 with the loop-error line, the object it was handed is released, and
// the connection keeps delivering and noticing its own end.
class ThrowingListener : public TestListener {
public:
    void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) override {
        TestListener::onLoginResult(succeeded, message, tradingDate);
        throw std::runtime_error("login handler failed");
    }
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) override {
        TestListener::onEntrustAnswer(entrust, error);  // keeps one reference of its own
        throw 42;  // not even a std::exception
    }
};

TEST_F(Reliability, ThrowingCallbacksAreLoggedOnceAndTheConnectionGoesOn) {
    ThrowingListener throwing;
    ScriptedServer server;
    connectTo(server, &throwing);
    ASSERT_TRUE(throwing.waitForEvent(0, 0));

    trader->login("alice", "pw", "");
    ASSERT_TRUE(server.waitPacket(FC_CMD_LOGIN));
    server.send(packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261208, 3)));
    exchg_peer::AnsOrderInsert answer;
    answer.set_result(0);
    answer.set_message("");
    answer.set_orderid(7);
    answer.set_instrument("IF2412");
    answer.set_price(35000000);
    answer.set_qty(1);
    answer.set_direct(exchg_peer::DT_Long);
    answer.set_pxtype(exchg_peer::PT_LimitPrice);
    answer.set_timecond(exchg_peer::TC_ValidInDay);
    answer.set_offset(exchg_peer::OF_Open);
    answer.set_usertag("t");
    server.send(packetOf(FC_CMD_ORDER_INSERT, answer));
    // Later packets on the same connection are still delivered.
    server.send(pushPacket(5, FC_PUSH_ORDER, order(7, "IF2412", 35000000, 1)));
    ASSERT_TRUE(throwing.waitFor([&] { return throwing.orderPushes.size() == 1; }));

    const auto loopErrors = throwing.logsWith(LOG_LOOP_ERROR);
    ASSERT_EQ(loopErrors.size(), 2u);
    EXPECT_EQ(loopErrors[0].level, 104);
    EXPECT_TRUE(contains(loopErrors[0].text, "login handler failed"));
    EXPECT_TRUE(contains(loopErrors[1].text, UNKNOWN_EXCEPTION));
    ASSERT_EQ(throwing.entrustAnswers.size(), 1u);
    EXPECT_EQ(throwing.entrustAnswers[0].entrust->retainCount(), 1);  // only the listener's own reference

    // The server's close is still noticed, and the trader connects again.
    server.closeConnection();
    EXPECT_TRUE(throwing.waitForEvent(1, boost::asio::error::eof));
    EXPECT_TRUE(server.waitForConnections(2));
    trader->release();
    trader.markReleased();
}

// Requests made while every attempt is refused wait in the queue and go out
// on the first connection; nothing is reported as a send error.
TEST_F(Reliability, RequestsMadeWhileTheServerIsAwayGoOutWithTheNextConnection) {
    const uint16_t port = closedPort();
    configure(port);
    trader->connect();
    ASSERT_TRUE(listener.waitForEvent(0, ECONNREFUSED));
    trader->queryAccount();
    trader->queryPositions();
    ASSERT_TRUE(listener.waitForEvent(0, ECONNREFUSED, 2));  // one more refused attempt after them

    ScriptedServer server("127.0.0.1", port);
    ASSERT_TRUE(server.waitForConnections(1, 10s));
    auto first = server.waitPacket(FC_QRY_ACCOUNT_INFO);
    auto second = server.waitPacket(FC_QRY_POSITION);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->connection, 1);
    EXPECT_EQ(second->connection, 1);
    trader->release();
    trader.markReleased();
    EXPECT_EQ(listener.countLogs(LOG_SEND_ERROR), 0u);
}

TEST_F(Reliability, ReleaseAfterRefusedAttemptsReportsNoSendError) {
    configure(closedPort());
    trader->connect();
    ASSERT_TRUE(listener.waitForEvent(0, ECONNREFUSED));
    trader->release();
    trader.markReleased();
    EXPECT_EQ(listener.countLogs(LOG_SEND_ERROR), 0u);
    EXPECT_EQ(listener.countLogs(LOG_UNSENT_AT_CLOSE), 0u);  // only the release's own logout was left
}

// Requests still queued when release closes the session are reported and
// dropped with it: an object started again does not send them on its next
// session, where they would arrive after being reported lost.
TEST_F(Reliability, RequestsStillQueuedAtReleaseAreReportedAndNeverSent) {
    configure(closedPort());
    trader->connect();
    ASSERT_TRUE(listener.waitForEvent(0, ECONNREFUSED));
    trader->queryOrders();
    trader->queryTrades();
    trader->release();
    const auto lines = listener.logsWith(LOG_UNSENT_AT_CLOSE);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 104);
    // "[TraderHVR]发送出错:关闭时2个请求未发出"
    EXPECT_EQ(lines[0].text,
              "[TraderHVR]\xb7\xa2\xcb\xcd\xb3\xf6\xb4\xed:\xb9\xd8\xb1\xd5\xca\xb1"
              "2\xb8\xf6\xc7\xeb\xc7\xf3\xce\xb4\xb7\xa2\xb3\xf6");

    ScriptedServer server;
    connectTo(server);
    ASSERT_TRUE(listener.waitForEvent(0, 0));
    trader->queryAccount();
    auto first = server.nextPacket();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->header.functionCode, FC_QRY_ACCOUNT_INFO);
}

// After the (1, 0) of a disconnect no (0, 0) may follow until the host
// connects again, however the connect's completion and the disconnect race.
TEST_F(Reliability, NoConnectedEventAfterDisconnectUntilTheNextConnect) {
    ScriptedServer server;
    configure(server.port());
    auto config = makeConfig({"127.0.0.1", server.portText(), dir.prefix(), ""});
    constexpr int CYCLES = 400;
    std::vector<std::pair<std::size_t, std::size_t>> quietSpans;  // [from, to) of the event list
    for (int i = 0; i < CYCLES; ++i) {
        trader->init(config.get());
        trader->connect();
        // Sweeps the moment of the disconnect across the connect's completion
        // on loopback, so that some land while its handler runs.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds((i * 7) % 400);
        while (std::chrono::steady_clock::now() < until) {
        }
        trader->disconnect();
        // The disconnect's own (1, 0) is in; from here on no (0, 0).
        const std::size_t from = listener.eventsSnapshot().size();
        // Every attempt ends with exactly one kind-0 event: wait for it.
        ASSERT_TRUE(listener.waitFor([&] {
            std::size_t kind0 = 0;
            for (const TraderEvent& e : listener.events) kind0 += e.kind == 0;
            return kind0 == static_cast<std::size_t>(i + 1);
        })) << "cycle " << i;
        quietSpans.emplace_back(from, listener.eventsSnapshot().size());
    }
    const auto events = listener.eventsSnapshot();
    for (const auto& [from, to] : quietSpans) {
        for (std::size_t k = from; k < to; ++k) {
            EXPECT_FALSE(events[k].kind == 0 && events[k].code == 0) << "(0, 0) at " << k << " after a disconnect";
        }
    }
}

// A release made after the loop ran out of work must leave nothing behind
// that tears down the connection of a reused object.
TEST_F(Reliability, ReleasedObjectConnectsAgainAfterInit) {
    configure(closedPort());
    trader->connect();
    trader->disconnect();  // the refused attempt ends with nothing left to do
    ASSERT_TRUE(listener.waitFor([&] {
        for (const TraderEvent& e : listener.events)
            if (e.kind == 0) return true;
        return false;
    }));
    // Gives a network thread that has nothing left to do time to end, which
    // is the schedule this guards against; the outcome does not depend on it.
    std::this_thread::sleep_for(100ms);
    trader->release();

    ScriptedServer server;
    configure(server.port());
    trader->connect();
    ASSERT_TRUE(listener.waitForEvent(0, 0));
    ASSERT_TRUE(server.waitForConnections(1));
    trader->queryAccount();
    ASSERT_TRUE(server.waitPacket(FC_QRY_ACCOUNT_INFO));
    exchg_peer::AnsAccountInfo account;
    server.send(packetOf(FC_QRY_ACCOUNT_INFO, account));
    EXPECT_TRUE(listener.waitFor([&] { return listener.accountAnswers.size() == 1; }));
    EXPECT_EQ(server.connectionCount(), 1);
}

// A pushed update or an answer that cannot be read is not delivered, but the
// host is told; the push id is still recorded so the stream does not stall.
TEST_F(Reliability, UnreadablePushesAndAnswersAreLoggedAndThePushIdKept) {
    ScriptedServer server;
    connectTo(server);
    ASSERT_TRUE(listener.waitForEvent(0, 0));
    trader->login("bob", "pw", "");
    ASSERT_TRUE(server.waitPacket(FC_CMD_LOGIN));
    server.send(packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261208, 1)));
    ASSERT_TRUE(listener.waitFor([&] { return listener.loginResults.size() == 1; }));

    exchg_peer::PushMessage broken;
    broken.set_pushid(42);
    broken.set_mtype(FC_PUSH_TRADE);
    broken.set_data("\x08");
    server.send(packetOf(FC_PUSH_MESSAGE, broken));
    server.send(rawPacket(FC_CMD_ORDER_INSERT, ""));  // required fields missing
    server.send(pushPacket(43, FC_PUSH_ORDER, order(1, "IF2412", 35000000, 1)));
    ASSERT_TRUE(listener.waitFor([&] { return listener.orderPushes.size() == 1; }));

    const auto pushLines = listener.logsWith(LOG_PUSH_UNREADABLE);
    ASSERT_EQ(pushLines.size(), 1u);
    EXPECT_EQ(pushLines[0].level, 104);
    EXPECT_TRUE(contains(pushLines[0].text, "42"));
    EXPECT_TRUE(contains(pushLines[0].text, "61"));
    const auto answerLines = listener.logsWith(LOG_ANSWER_UNREADABLE);
    ASSERT_EQ(answerLines.size(), 1u);
    EXPECT_TRUE(contains(answerLines[0].text, "\xba\xc5" "2"));  // "...功能号2"
    EXPECT_TRUE(listener.tradePushes.empty());
    EXPECT_TRUE(listener.entrustAnswers.empty());
}

TEST_F(Reliability, EntrustIdThatDoesNotFitIsRefusedWithTheBufferZeroed) {
    char tiny[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_FALSE(trader->makeEntrustId(tiny, 1));
    EXPECT_EQ(tiny[0], '\0');
    EXPECT_FALSE(trader->makeEntrustId(tiny, sizeof tiny));
    EXPECT_EQ(std::string(tiny, sizeof tiny), std::string(sizeof tiny, '\0'));
    char exact[11];  // "0.0.000001" and its terminating zero
    ASSERT_TRUE(trader->makeEntrustId(exact, sizeof exact));
    EXPECT_STREQ(exact, "0.0.000001");  // the refusals used up no number
}

// The flow file cannot be kept: the login still succeeds, and the host is
// told once which file and why, because resuming the pushes later will not
// work.
class FlowFileTrouble : public Reliability {
protected:
    // The unprivileged user must reach the folder to meet the trouble inside.
    void SetUp() override { ::chmod(dir.path.c_str(), 0755); }

    // Runs the login with the process's effective user switched to an
    // unprivileged one when it is root (for whom permissions do not apply).
    void loginAnswered(const char* user) {
        ScriptedServer server;
        connectTo(server);
        ASSERT_TRUE(listener.waitForEvent(0, 0));
        DropRoot unprivileged;
        if (!unprivileged.ok) GTEST_SKIP() << "cannot switch to an unprivileged user";
        trader->login(user, "pw", "");
        ASSERT_TRUE(server.waitPacket(FC_CMD_LOGIN));
        server.send(packetOf(FC_CMD_LOGIN, loginAnswer(0, "", 20261208, 1)));
        ASSERT_TRUE(listener.waitFor([&] { return listener.loginResults.size() == 1; }));
        EXPECT_TRUE(listener.loginResults[0].succeeded);
    }
    void expectOneLineNaming(const std::string& path, const std::string& reason) {
        const auto lines = listener.logsWith(LOG_FLOW_UNAVAILABLE);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 104);
        EXPECT_TRUE(contains(lines[0].text, path)) << lines[0].text;
        EXPECT_TRUE(contains(lines[0].text, reason)) << lines[0].text;
    }

    struct DropRoot {
        DropRoot() {
            if (::geteuid() != 0) return;
            ok = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
        }
        ~DropRoot() {
            if (::getuid() == 0) {
                (void)::seteuid(0);
                (void)::setegid(0);
            }
        }
        bool ok = true;
    };
};

TEST_F(FlowFileTrouble, FolderNotWritable) {
    ::chmod(dir.path.c_str(), 0555);
    loginAnswered("carol");
    ::chmod(dir.path.c_str(), 0755);
    expectOneLineNaming(dir.prefix() + "carol.flow", "Permission denied");
}

TEST_F(FlowFileTrouble, FileReadOnly) {
    const std::string path = dir.prefix() + "dave.flow";
    std::ofstream(path, std::ios::binary) << std::string(12, '\0');
    ::chmod(path.c_str(), 0444);
    loginAnswered("dave");
    expectOneLineNaming(path, "Permission denied");
}

TEST_F(FlowFileTrouble, FileCannotBeMapped) {
    const std::string path = dir.prefix() + "erin.flow";
    ASSERT_EQ(::symlink("/dev/null", path.c_str()), 0);
    loginAnswered("erin");
    const auto lines = listener.logsWith(LOG_FLOW_UNAVAILABLE);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(contains(lines[0].text, path));
}

}  // namespace
}  // namespace hvr::test
