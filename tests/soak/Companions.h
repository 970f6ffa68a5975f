// The traders that share the soak trader's pool thread in a round of the
// shared mode (init key threads=shared, one pool thread). Each has an account
// of its own on a simulator of their own, logs in from its (0, 0) as a host
// does, and trades from a host thread of its own while the round's chaos
// runs; the second one's listener throws from its answers and pushes, and the
// third is released from a thread of the driver's in the middle of the chaos
// while the others trade, then configured and connected again. Their
// simulator is killed once meanwhile (they reconnect on the pool thread's
// timers).
//
// Checked at the end of the round (finish): every companion logs in again
// and has its closing order answered; the throwing one's lines say one loop
// error per throw; the released one heard nothing between the return of its
// release and its next connect; every network-side callback of all of them
// came from one and the same thread.
//
// Threads: start, releaseOne, stopTrading and finish on the driver's thread;
// the listeners on the pool thread and the trading threads.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/ITraderApi.h"

namespace hvr::soak {

class Companions {
public:
    static constexpr int COUNT = 3;
    // The accounts, "mate1" to "mate3", with the soak account's password.
    static std::string user(int index) { return "mate" + std::to_string(index + 1); }

    // guard runs every module call with the driver's watchdog; failed
    // reports a broken check (and does not return).
    Companions(kra::CreateTraderFunc create, kra::DeleteTraderFunc destroy, std::string folder,
               std::function<void(const char* name, const std::function<void()>& call)> guard,
               std::function<void(const std::string& what)> failed);
    ~Companions();
    Companions(const Companions&) = delete;
    Companions& operator=(const Companions&) = delete;

    // Makes, configures and connects the companions against port, and starts
    // their trading threads.
    void start(uint16_t port);
    // The third companion: release from this thread while the others trade,
    // then init and connect again.
    void releaseOne();
    void stopTrading();
    // The checks above against the simulator on port (it may have moved),
    // then release and deleteTrader of each. Returns a one-line summary.
    std::string finish(uint16_t port);

private:
    class Member;
    void trade(Member& m);

    const kra::CreateTraderFunc create;
    const kra::DeleteTraderFunc destroy;
    const std::string folder;
    const std::function<void(const char*, const std::function<void()>&)> guard;
    const std::function<void(const std::string&)> failed;
    uint16_t port = 0;
    std::vector<std::unique_ptr<Member>> members;
    std::vector<std::thread> traders;
    std::atomic<bool> stopping{false};
};

}  // namespace hvr::soak
