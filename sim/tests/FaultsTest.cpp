// The faults as the server asks about them: what one connection does as its
// packets are counted and its fault plays, and the order held connections
// are let go in. The loopback tests (ServerTest, RequestJournalTest) play
// the same faults on real sockets.
#include <gtest/gtest.h>

#include "Faults.h"

namespace hvr::sim {
namespace {

TEST(ConnectionFaults, CountsReachMuteThenFreezeThenDropInTheirOwnWays) {
    FaultSettings settings;
    settings.muteAfter = 1;
    settings.freezeAfter = 2;
    settings.dropAfter = 3;
    ConnectionFaults faults(settings, {});
    EXPECT_EQ(faults.opening(), ConnectionFaults::Opening::Read);
    EXPECT_FALSE(faults.queuesNothing());

    faults.packetHandled();  // muted: handled, nothing more queued, what is queued still written
    EXPECT_TRUE(faults.queuesNothing());
    EXPECT_FALSE(faults.writesNothing());
    EXPECT_FALSE(faults.readsNoMore());
    EXPECT_FALSE(faults.queueWritten());

    faults.packetHandled();  // freezing: reads no more, and stays open, but writes its queue
    EXPECT_TRUE(faults.readsNoMore());
    EXPECT_TRUE(faults.keepsOpen());
    EXPECT_FALSE(faults.writesNothing());
    EXPECT_FALSE(faults.discardsRequests());
    EXPECT_FALSE(faults.queueWritten());
    EXPECT_TRUE(faults.writesNothing());  // frozen once the queue is out

    faults.packetHandled();
    EXPECT_TRUE(faults.discardsRequests());
    EXPECT_TRUE(faults.closesOnceWritten());
    EXPECT_EQ(faults.queueWritten().value_or(""), "dropped after 3 packets (fault injection)");
}

TEST(ConnectionFaults, EachOwnFaultOpensAndEndsAsWritten) {
    const auto faultsOf = [](const std::string& text) {
        return ConnectionFaults(FaultSettings{}, parseConnectionFaults(text).value().at(0));
    };
    ConnectionFaults stall = faultsOf("stall:300");
    EXPECT_EQ(stall.opening(), ConnectionFaults::Opening::Wait);
    EXPECT_EQ(stall.waitTime().count(), 300);
    EXPECT_FALSE(stall.afterWait());  // then reads, and discards everything
    EXPECT_TRUE(stall.discardsRequests());

    ConnectionFaults reset = faultsOf("reset:100");
    EXPECT_EQ(reset.opening(), ConnectionFaults::Opening::Wait);
    EXPECT_TRUE(reset.afterWait());
    EXPECT_FALSE(reset.discardsRequests());

    ConnectionFaults trickle = faultsOf("hold-trickle:2");
    EXPECT_EQ(trickle.opening(), ConnectionFaults::Opening::Hold);
    EXPECT_TRUE(trickle.keepsOpen());
    EXPECT_FALSE(trickle.letGo());
    EXPECT_FALSE(trickle.keepsOpen());
    EXPECT_EQ(trickle.readSize(65536), 1u);
    EXPECT_FALSE(trickle.afterBytesRead(1));
    EXPECT_TRUE(trickle.afterBytesRead(2));
    EXPECT_FALSE(trickle.discardsRequests());  // what it reads is handled
    EXPECT_EQ(trickle.describe(), "hold-trickle:2");

    ConnectionFaults heldReset = faultsOf("hold-reset");
    EXPECT_TRUE(heldReset.held());
    EXPECT_TRUE(heldReset.letGo());
}

struct Held : HeldConnection {
    explicit Held(std::vector<int>& order, int n) : order(order), n(n) {}
    void letGo() override { order.push_back(n); }
    std::vector<int>& order;
    int n;
};

TEST(Faults, HeldConnectionsGoOneALetGoInTheOrderHandedOutAndAnEarlyLetGoWaitsForItsOwn) {
    FaultSettings settings;
    settings.connectionFaults = parseConnectionFaults("hold,hold-reset,stall:5,hold").value();
    Faults faults(settings);
    std::vector<int> order;
    faults.letGoNextHeld();  // before any connection: the first held one goes as it comes
    std::vector<std::shared_ptr<Held>> connections;
    for (int n = 1; n <= 5; ++n) {
        const ConnectionFaults handedOut = faults.nextConnection();
        connections.push_back(std::make_shared<Held>(order, n));
        if (handedOut.held()) faults.hold(connections.back());
    }
    EXPECT_EQ(order, std::vector<int>{1});
    faults.letGoNextHeld();
    connections[3].reset();  // gone before its turn: its let-go is used up on nothing
    faults.letGoNextHeld();
    faults.letGoNextHeld();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Faults, SavesFailAfterTheCountAndEveryNthPushIsLeftOut) {
    FaultSettings settings;
    settings.failWritesAfter = 2;
    settings.leaveOutPushEvery = 3;
    Faults faults(settings);
    EXPECT_FALSE(faults.saveFailure());
    EXPECT_FALSE(faults.saveFailure());
    EXPECT_NE(faults.saveFailure().value_or("").find("disk is full"), std::string::npos);
    EXPECT_TRUE(faults.saveFailure());
    faults.failSavesAfter(std::nullopt);
    EXPECT_FALSE(faults.saveFailure());

    std::vector<bool> leftOut;
    for (int i = 0; i < 6; ++i) leftOut.push_back(faults.leavesOutPush());
    EXPECT_EQ(leftOut, (std::vector<bool>{false, false, true, false, false, true}));
}

}  // namespace
}  // namespace hvr::sim
