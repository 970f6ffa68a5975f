// The soak's host listener: records everything the trader reports into the
// journal, and throws from chosen callbacks, at a chosen rate, on the
// trader's network thread (never on a host thread: there the exception would
// come back out of the host's own call). Before it throws it sends a probe
// query, whose answer shows that the connection still delivers.
//
// It also places requests for the driver and for itself (request(), login()),
// so that each is journaled with the object it went to, when the call started
// and when it returned, and whether the module refused it; logins carry a
// resource text unique in the run, by which the simulator's journal names
// them. Every entrust id it asks the trader for (entrustId(), and one at each
// successful login) is journaled too.
//
// Users: the run's main user (0) and a second one (1) that some rounds log in
// on the same object. Orders of the second user carry tags that start with
// SECOND_USER_TAG, so that each push is known to belong to one account.
//
// Threads: the trader's network thread and host threads call it; the driver
// sets the policy between phases. Every record goes through the journal's
// lock; the policy is guarded by its own lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "Journal.h"
#include "host/ITraderApi.h"
#include "host/SimpleContractCatalog.h"

namespace hvr::soak {

enum class Callback { Event, Login, Entrust, Account, Positions, Orders, Trades, OrderPush, TradePush, TraderError };
constexpr int CALLBACK_COUNT = 10;
const char* callbackName(Callback c);

// Tags of the second user's orders start with this; every other tag is the
// main user's.
constexpr const char* SECOND_USER_TAG = "soak2-";
int userOfTag(const std::string& tag);

// Marks the calling thread as a host thread for the rest of its life.
void markHostThread();
bool onHostThread();
// The seq of the last trader event reported on this host thread.
Seq lastHostEventSeq();

class SoakListener final : public kra::ITraderListener {
public:
    // users: name and password of each user, the main one first.
    SoakListener(Journal& journal, std::vector<std::pair<std::string, std::string>> users, std::string runTag);
    virtual ~SoakListener() = default;

    // The trader object now in use and its number; set before it connects.
    void attach(kra::ITraderApi* trader, int object);
    int object() const { return objectNumber.load(); }
    // The port the simulator listens on: the trader's connections go there.
    void setServerPort(uint16_t port) { serverPort.store(port); }
    // The flow file the module keeps for each user: each push callback reads
    // the push id in its user's when it starts. Set before the first connect.
    void setFlowFiles(std::vector<std::string> paths) { flowFiles = std::move(paths); }

    // Throwing policy: rate per callback (0 to 1), and callbacks that throw
    // exactly once, on their next call.
    void setThrowRates(const std::array<double, CALLBACK_COUNT>& rates, uint64_t seed);
    void armThrowOnce(Callback c);
    // Whether every callback armed to throw once has thrown.
    bool armedThrowsFired();
    // The next (1, 125) on the network thread holds that thread for this
    // long before it returns: an attempt started just before completes
    // meanwhile, and its handler runs only afterwards.
    void holdNextAbortedEnd(std::chrono::milliseconds hold) { abortedEndHold.store(hold.count()); }
    // Log in from the network thread on every (0, 0).
    void setAutoLogin(bool on) { autoLogin.store(on); }
    // While on, each connection reported as (0, 0) gets the smallest send
    // buffer the system allows (SO_SNDBUF, which also ends its autotuning)
    // in that callback, before the module writes on it what waited for the
    // connection (it does so after the callback, and the drills send nothing
    // while a connection comes up). With the simulator's small receive
    // buffer, the kernel then takes a few KiB of a write at most, whatever
    // its defaults: a bigger batch stays in flight.
    void setSmallSendBuffers(bool on) { smallSendBuffers.store(on); }
    // Connections that should have had it and whose socket was not found.
    int sendBuffersMissed() const { return sendBuffersNotSet.load(); }
    // A connection closed by the server counts as a server fault while the
    // simulator drops connections on purpose.
    void setDropsAreFaults(bool on) { dropsAreFaults.store(on); }
    // Whether a throwing callback first sends its probe query: not while a
    // release runs, which drops what is queued.
    void setProbes(bool on) { probes.store(on); }

    // Runs call, which sends one request of this kind to the attached
    // trader and returns what the trader returned, between two journal
    // records; returns that too.
    int request(RequestKind kind, const std::string& key, const std::function<int()>& call, int user = 0);
    // A login of the user with a resource text of its own.
    int login(int user = 0);
    // Asks the attached trader for an entrust id and journals it.
    std::string entrustId();

    // A known order id to cancel (empty when none yet).
    std::string someOrderId(uint64_t pick);

    void onTraderEvent(int kind, int code) override;
    void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) override;
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) override;
    void onAccountAnswer(kra::NXSArray*) override { answer(RequestKind::QueryAccount, Callback::Account); }
    void onPositionsAnswer(kra::NXSArray*) override { answer(RequestKind::QueryPositions, Callback::Positions); }
    void onOrdersAnswer(kra::NXSArray*) override { answer(RequestKind::QueryOrders, Callback::Orders); }
    void onTradesAnswer(kra::NXSArray*) override { answer(RequestKind::QueryTrades, Callback::Trades); }
    void onOrderPush(kra::NXSOrderInfo* order) override;
    void onTradePush(kra::NXSTradeInfo* trade) override;
    void onTraderError(kra::NXSError* error) override;
    kra::IContractCatalog* getContractCatalog() override { return &catalog; }
    void logMessage(int level, const char* format, ...) override;

    // The last log lines, for a failure report.
    std::vector<std::string> recentLogs();

private:
    void answer(RequestKind kind, Callback c);
    void push(const PushKey& key, const std::string& tag, Callback c);
    // The id as journaled; empty when the trader gave none.
    std::string recordEntrustId(kra::ITraderApi* t);
    // Throws when the policy says so for this call.
    void maybeThrow(Callback c);
    void noteLogLine(int level, const char* format, const char* text);

    Journal& journal;
    const std::vector<std::pair<std::string, std::string>> users;
    const std::string runTag;  // makes the login resource texts unique in the run
    std::vector<std::string> flowFiles;
    std::atomic<int> lastLoginUser{0};  // whose login an answer answers (logins of two users never race)
    kra::SimpleContractCatalog catalog;
    std::atomic<kra::ITraderApi*> trader{nullptr};
    std::atomic<int> objectNumber{0};
    std::atomic<uint16_t> serverPort{0};
    std::atomic<bool> autoLogin{false};
    std::atomic<bool> smallSendBuffers{false};
    std::atomic<int> sendBuffersNotSet{0};
    std::atomic<bool> dropsAreFaults{false};
    std::atomic<bool> probes{true};
    std::atomic<int64_t> abortedEndHold{0};  // milliseconds; 0: none armed
    std::atomic<uint64_t> logins{0};

    std::mutex policyLock;  // guards the policy and the members below
    std::array<double, CALLBACK_COUNT> rates{};
    std::array<bool, CALLBACK_COUNT> throwOnce{};
    std::mt19937_64 rng;
    std::vector<std::string> orderIds;
    std::vector<std::string> logRing;
    std::size_t logNext = 0;
};

}  // namespace hvr::soak
