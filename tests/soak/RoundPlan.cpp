#include "RoundPlan.h"

#include <algorithm>
#include <sstream>

namespace hvr::soak {

uint64_t mix(uint64_t x) {  // splitmix64
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

namespace {

std::vector<std::string> randomFlags(std::mt19937_64& rng, bool allowDrop) {
    std::vector<std::string> flags;
    if (allowDrop && rng() % 2 == 0) {
        flags.push_back("--drop-after");
        flags.push_back(std::to_string(1 + rng() % 12));
    }
    if (rng() % 3 == 0) flags.push_back("--one-byte-writes");
    if (rng() % 3 == 0) {
        flags.push_back("--answer-delay-ms");
        flags.push_back(std::to_string(1 + rng() % 40));
    }
    return flags;
}

std::string joinFlags(const std::vector<std::string>& flags) {
    std::string text;
    for (const std::string& f : flags) text += (text.empty() ? "" : " ") + f;
    return text.empty() ? "none" : text;
}

}  // namespace

bool dropsConnections(const std::vector<std::string>& flags) {
    for (const std::string& f : flags)
        if (f == "--drop-after") return true;
    return false;
}

RoundPlan makePlan(uint64_t seed, int round, bool firstRound) {
    std::mt19937_64 rng(mix(seed ^ mix(static_cast<uint64_t>(round))));
    RoundPlan plan;
    plan.chaosSeconds = 2.0 + static_cast<double>(rng() % 30) / 10.0;
    plan.threads = 3 + static_cast<int>(rng() % 4);
    static const int pacing[] = {0, 1, 3, 10, 25};
    plan.pacingMs = pacing[rng() % 5];
    for (int& w : plan.weights) w = static_cast<int>(rng() % 10);
    // Orders and queries always run; the rest may be left out of a round.
    plan.weights[static_cast<int>(Op::Order)] += 4;
    plan.weights[static_cast<int>(Op::QueryOrders)] += 1;
    plan.weights[static_cast<int>(Op::Reuse)] /= 4;
    plan.throwRates.fill(BASE_THROW_RATE);
    const int throwing = static_cast<int>(rng() % 4);
    for (int i = 0; i < throwing; ++i)
        plan.throwRates[rng() % CALLBACK_COUNT] = 0.05 * static_cast<double>(1 + rng() % 6);

    switch (rng() % 5) {
        case 0:  // calm: no server fault at all
            break;
        case 1: {  // outages: killed, down for a while, back clean
            // Half of these keep the host steady (no connect, disconnect or
            // release of its own): every request placed during the outage
            // must then reach the server once it is back.
            if (rng() % 2 == 0)
                for (Op op : {Op::Connect, Op::Disconnect, Op::Reuse}) plan.weights[static_cast<int>(op)] = 0;
            const int n = 1 + static_cast<int>(rng() % 2);
            for (int i = 0; i < n; ++i) {
                FaultStep s;
                s.what = FaultStep::Outage;
                s.at = plan.chaosSeconds * (0.1 + 0.4 * i + 0.3 * static_cast<double>(rng() % 100) / 100.0);
                // Long enough, often, for the trader's two-second reconnect
                // wait to end while the server is still away.
                s.down = 1.0 + static_cast<double>(rng() % 31) / 10.0;
                plan.steps.push_back(s);
            }
            break;
        }
        case 2: {  // crashes: kill -9 and straight back, maybe with other flags
            const int n = 1 + static_cast<int>(rng() % 3);
            for (int i = 0; i < n; ++i) {
                FaultStep s;
                s.what = FaultStep::Crash;
                s.at = plan.chaosSeconds * static_cast<double>(rng() % 100) / 100.0;
                s.flags = randomFlags(rng, false);
                plan.steps.push_back(s);
            }
            break;
        }
        default:  // a faulty server from the start, switched once more perhaps
            plan.startFlags = randomFlags(rng, true);
            if (rng() % 2 == 0) {
                FaultStep s;
                s.what = FaultStep::Restart;
                s.at = plan.chaosSeconds * static_cast<double>(rng() % 100) / 100.0;
                s.flags = randomFlags(rng, true);
                plan.steps.push_back(s);
            }
    }
    std::sort(plan.steps.begin(), plan.steps.end(), [](const FaultStep& a, const FaultStep& b) { return a.at < b.at; });
    plan.newObject = firstRound || rng() % 3 == 0;
    plan.reuseForQuiesce = rng() % 3 != 0;
    static const Callback probes[] = {Callback::Login,     Callback::Entrust, Callback::OrderPush,
                                      Callback::TradePush, Callback::Orders,  Callback::Event};
    plan.probe = probes[rng() % 6];
    plan.firstClose = static_cast<OwnClose>(rng() % 3);
    plan.secondClose = static_cast<OwnClose>(rng() % 2);
    plan.newDay = round % 3 == 2;

    // The promises of some rounds, from a generator of their own.
    std::mt19937_64 extra(mix(seed ^ mix(static_cast<uint64_t>(round) + 0x5e4d)));
    if (round % 2 == 1) {
        static const std::size_t caps[] = {1024, 2048, 4096, 8192};
        plan.sendQueueCap = caps[extra() % 4];
        // The refusals need a stretch with no connection: an outage, if the
        // draws above brought none.
        const bool outage = std::any_of(plan.steps.begin(), plan.steps.end(),
                                        [](const FaultStep& s) { return s.what == FaultStep::Outage; });
        if (!outage) {
            FaultStep s;
            s.what = FaultStep::Outage;
            s.at = plan.chaosSeconds * (0.2 + 0.5 * static_cast<double>(extra() % 100) / 100.0);
            s.down = 1.0 + static_cast<double>(extra() % 11) / 10.0;
            plan.steps.push_back(s);
            std::sort(plan.steps.begin(), plan.steps.end(),
                      [](const FaultStep& a, const FaultStep& b) { return a.at < b.at; });
        }
    }
    if (round % 3 == 1) plan.peerTimeoutSeconds = 4;
    plan.userSwitch = round % 3 == 2;
    plan.sharedThreads = round % 2 == 0;
    return plan;
}

const char* ownCloseName(OwnClose c) {
    switch (c) {
        case OwnClose::Connect:
            return "connect";
        case OwnClose::Disconnect:
            return "disconnect, init, connect";
        default:
            return "release, init, connect";
    }
}

std::string describePlan(const RoundPlan& plan) {
    std::ostringstream text;
    text << plan.chaosSeconds << " s chaos, " << plan.threads << " threads, pacing " << plan.pacingMs << " ms, server "
         << joinFlags(plan.startFlags);
    for (const FaultStep& s : plan.steps) {
        text << "; at " << s.at << " s ";
        if (s.what == FaultStep::Outage)
            text << "kill -9, down " << s.down << " s";
        else if (s.what == FaultStep::Crash)
            text << "kill -9, back with " << joinFlags(s.flags);
        else
            text << "restart with " << joinFlags(s.flags);
    }
    std::string throws;
    for (int i = 0; i < CALLBACK_COUNT; ++i)
        if (plan.throwRates[i] > BASE_THROW_RATE)
            throws += std::string(throws.empty() ? "" : ", ") + callbackName(static_cast<Callback>(i)) + " " +
                      std::to_string(static_cast<int>(plan.throwRates[i] * 100)) + "%";
    text << "; listener throws: " << static_cast<int>(BASE_THROW_RATE * 100) << "% from every callback"
         << (throws.empty() ? "" : ", " + throws);
    if (plan.steadyHost()) text << "; steady host (no connect, disconnect or release)";
    text << "; quiesce on " << (plan.reuseForQuiesce ? "the released object" : "a new object") << ", probe throws from "
         << callbackName(plan.probe) << "; drills close with " << ownCloseName(plan.firstClose) << ", then "
         << ownCloseName(plan.secondClose);
    if (plan.newDay) text << "; a new trading day before the drills";
    if (plan.sendQueueCap != 0) text << "; send queue capped at " << plan.sendQueueCap << " bytes in the chaos";
    if (plan.peerTimeoutSeconds != 0)
        text << "; peer timeout " << plan.peerTimeoutSeconds << " s, the quiesce freezes the simulator";
    if (plan.userSwitch) text << "; a second user logs in on the object";
    if (plan.sharedThreads) text << "; shared mode: one pool thread, with 3 companions";
    return text.str();
}

}  // namespace hvr::soak
