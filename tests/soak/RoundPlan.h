// What one round of the soak does, drawn from the run's seed and the round
// number only, so that a seed replays the same plans: how long the chaos
// lasts, how many host threads race which operations at what pace, which
// listener callbacks throw how often, which server faults come when, and
// how the quiesce probes the trader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "SoakListener.h"

namespace hvr::soak {

// splitmix64: spreads seeds and round numbers over the generator's state.
uint64_t mix(uint64_t x);

enum class Op {
    Login,
    Order,
    Cancel,
    QueryAccount,
    QueryPositions,
    QueryOrders,
    QueryTrades,
    Connect,
    Disconnect,
    Init,
    Reuse
};
constexpr int OP_COUNT = 11;

struct FaultStep {
    enum What { Outage, Crash, Restart } what = Crash;
    double at = 0;                   // seconds into the chaos
    double down = 0;                 // Outage: how long the simulator stays down
    std::vector<std::string> flags;  // the flags it comes back with
};

// How the host closes a connection on purpose in the drills: a connect that
// replaces it, a disconnect then init and connect, or a release then init
// and connect (which also drops what is queued).
enum class OwnClose { Connect, Disconnect, Release };
const char* ownCloseName(OwnClose c);

struct RoundPlan {
    double chaosSeconds = 3;
    int threads = 4;
    int pacingMs = 5;
    std::array<int, OP_COUNT> weights{};
    std::array<double, CALLBACK_COUNT> throwRates{};
    std::vector<std::string> startFlags;
    std::vector<FaultStep> steps;
    bool newObject = false;  // createTrader for this round
    // No connect, disconnect or release by the host threads.
    bool steadyHost() const {
        return weights[static_cast<int>(Op::Connect)] + weights[static_cast<int>(Op::Disconnect)] +
                   weights[static_cast<int>(Op::Reuse)] ==
               0;
    }
    bool reuseForQuiesce = true;  // the quiesce keeps the released object
    Callback probe = Callback::Login;
    // The drills' two closes of our own with a write in flight: the first
    // cuts off a batch before any byte of it left, the second one part way
    // (never a release: what it leaves queued is the next drill's batch).
    OwnClose firstClose = OwnClose::Connect;
    OwnClose secondClose = OwnClose::Connect;
    // The simulator starts a new trading day (the next date) before the
    // drills: the host's flow record and replays cross it. Every third round
    // from the second, not drawn, so that the seeds' other choices stay.
    bool newDay = false;
    // The promises only some rounds drive, by round number too (the first
    // round has the first two, so that a short run has them all but the
    // switch), their values drawn apart from the draws above:
    // - a small send queue ("sendqueue" of the chaos's init, in odd rounds):
    //   the chaos has an outage, during which the driver places requests
    //   until the module refuses one;
    std::size_t sendQueueCap = 0;  // bytes; 0: the module's default
    // - dead-peer detection ("peertimeout", every third round from the
    //   first, in the chaos and the quiesce; the simulator sends a heartbeat
    //   every second): the quiesce freezes the simulator until the module
    //   cuts the connection, which must be followed by a reconnect and a
    //   login;
    int peerTimeoutSeconds = 0;
    // - a second user logs in on the object at the end of the quiesce, and
    //   the first one again (the rounds of a new trading day).
    bool userSwitch = false;
    // The trader runs in the shared mode (threads=shared, one pool thread),
    // with companions on the same thread (Companions.h). Every second round,
    // not drawn, so that the seeds' other choices stay.
    bool sharedThreads = false;
};

// The seconds between the simulator's heartbeats in rounds with a peer
// timeout: well under it, so that a healthy server is never cut.
constexpr int PEER_ROUND_HEARTBEAT_SECONDS = 1;

// Every callback throws at least this often, in every round.
constexpr double BASE_THROW_RATE = 0.02;

// The plan of a round. The first round always starts with a new object.
RoundPlan makePlan(uint64_t seed, int round, bool firstRound);
// One line for the run's output.
std::string describePlan(const RoundPlan& plan);
// Whether the simulator started with these flags drops connections.
bool dropsConnections(const std::vector<std::string>& flags);

}  // namespace hvr::soak
