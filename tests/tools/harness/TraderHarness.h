// One trader loaded from libTraderHVR.so with dlopen, as hvr-host loads it,
// run through the session core the hosts use (common/SessionCore.h), and an
// observer that records what the end-to-end tests check beyond the core's
// state: how often each order tag was answered, the refusal texts, the trade
// ids pushed and the latest answer of each query.
//
// Threads: the test thread calls the harness; the trader's network thread
// calls the core, which calls the observer. Several test threads may insert
// orders at once.
// Lifetime: the destructor releases and deletes the trader before the core,
// the observer and the module go away.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/SessionCore.h"
#include "common/TraderModule.h"
#include "host/ITraderApi.h"
#include "host/SimpleContractCatalog.h"

namespace hvr::e2e {

// The records of one query answer (only the kind asked is filled).
struct QueryAnswer {
    std::vector<tools::AccountRecord> accounts;
    std::vector<tools::PositionRecord> positions;
    std::vector<tools::OrderRecord> orders;
    std::vector<tools::TradeRecord> trades;
};

class RecordingObserver final : public tools::SessionObserver {
public:
    void onSessionEvent(const tools::SessionEvent& event, std::chrono::system_clock::time_point received) override;

    // Guarded by recordLock.
    std::mutex recordLock;
    std::map<std::string, int> answersByTag;
    std::vector<std::string> refusalTexts;
    std::vector<std::string> pushedTradeIds;
    std::vector<tools::SessionEvent> doubtEvents;  // InDoubt and DoubtResolved, in order
    std::optional<QueryAnswer> answers[4];         // the latest of each query kind
};

class TraderHarness {
public:
    // Loads the module; the catalog holds the instruments given.
    TraderHarness(const std::string& modulePath, kra::SimpleContractCatalog catalog);
    ~TraderHarness();

    // init with loopback host, port, folder and push mode; registers the core.
    void init(uint16_t port, const std::string& folder, int pushMode);
    // Connects and logs in as user (again after every reconnect); false when
    // not logged in within the timeout.
    bool connectAndLogin(const std::string& user, const std::string& password, std::chrono::milliseconds timeout);

    // Sends an order; returns the tag that its answer will carry.
    std::string insert(const std::string& code, uint32_t volume, double price, char direction, char offset);
    void cancel(const std::string& orderId);
    // Sends the query and waits for its answer; none on timeout.
    std::optional<QueryAnswer> query(tools::QueryKind kind, std::chrono::milliseconds timeout);

    kra::ITraderApi& api() { return *trader; }
    RecordingObserver& recorder() { return observer; }
    tools::SessionCore& core() { return session; }

private:
    std::unique_ptr<tools::TraderModule> module;
    kra::SimpleContractCatalog catalog;
    RecordingObserver observer;
    tools::SessionCore session;
    kra::ITraderApi* trader = nullptr;
};

}  // namespace hvr::e2e
