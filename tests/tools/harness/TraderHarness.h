// One trader loaded from libTraderHVR.so with dlopen, as hvr-host loads it,
// and a listener that records everything the end-to-end tests check: the
// session facts of the host (cli/SessionFacts.h), how often each order tag
// was answered, the trade ids pushed and the latest answer of each query.
//
// Threads: the test thread calls the harness; the trader's network thread
// calls the listener. Several test threads may insert orders at once.
// Lifetime: the destructor releases and deletes the trader before the
// listener and the module go away.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/SessionState.h"
#include "common/TraderModule.h"
#include "host/ITraderApi.h"
#include "host/SimpleContractCatalog.h"

namespace hvr::e2e {

// A query answer kept beyond the callback: the array is retained and
// released when the holder goes.
using ArrayHolder = std::unique_ptr<kra::NXSArray, void (*)(kra::NXSArray*)>;

class RecordingListener final : public kra::ITraderListener {
public:
    explicit RecordingListener(kra::IContractCatalog* catalog) : catalog(catalog) {}
    virtual ~RecordingListener() = default;

    void attach(kra::ITraderApi* api) { trader = api; }

    void onTraderEvent(int kind, int code) override;
    void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) override;
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) override;
    void onAccountAnswer(kra::NXSArray* accounts) override { keepAnswer(0, accounts); }
    void onPositionsAnswer(kra::NXSArray* positions) override { keepAnswer(1, positions); }
    void onOrdersAnswer(kra::NXSArray* orders) override { keepAnswer(2, orders); }
    void onTradesAnswer(kra::NXSArray* trades) override { keepAnswer(3, trades); }
    void onOrderPush(kra::NXSOrderInfo* order) override;
    void onTradePush(kra::NXSTradeInfo* trade) override;
    void onTraderError(kra::NXSError* error) override;
    kra::IContractCatalog* getContractCatalog() override { return catalog; }
    void logMessage(int, const char*, ...) override {}

    cli::SessionState state;
    // Guarded by recordLock: how often each tag was answered, the refusal
    // texts, and the trade ids in push order.
    std::mutex recordLock;
    std::map<std::string, int> answersByTag;
    std::vector<std::string> refusalTexts;
    std::vector<std::string> pushedTradeIds;
    // Guarded by recordLock: the latest answer of each query kind, retained.
    ArrayHolder answers[4] = {{nullptr, release}, {nullptr, release}, {nullptr, release}, {nullptr, release}};

private:
    static void release(kra::NXSArray* array) {
        if (array != nullptr) array->release();
    }
    void keepAnswer(int kind, kra::NXSArray* array);

    kra::IContractCatalog* catalog;
    kra::ITraderApi* trader = nullptr;  // set before connect, read on the network thread
};

enum class QueryKind { Account = 0, Positions = 1, Orders = 2, Trades = 3 };

class TraderHarness {
public:
    // Loads the module; the catalog holds the instruments given.
    TraderHarness(const std::string& modulePath, kra::SimpleContractCatalog catalog);
    ~TraderHarness();

    // init with loopback host, port, folder and push mode; registers the listener.
    void init(uint16_t port, const std::string& folder, int pushMode);
    // Connects and logs in as user (again after every reconnect); false when
    // not logged in within the timeout.
    bool connectAndLogin(const std::string& user, const std::string& password, std::chrono::milliseconds timeout);

    // Sends an order; returns the tag that its answer will carry.
    std::string insert(const std::string& code, uint32_t volume, double price, char direction, char offset);
    void cancel(const std::string& orderId);
    // Sends the query and waits for its answer; null on timeout.
    kra::NXSArray* query(QueryKind kind, std::chrono::milliseconds timeout);

    kra::ITraderApi& api() { return *trader; }
    RecordingListener& listener() { return recorder; }
    cli::SessionState& state() { return recorder.state; }

private:
    std::unique_ptr<tools::TraderModule> module;
    kra::SimpleContractCatalog catalog;
    RecordingListener recorder;
    kra::ITraderApi* trader = nullptr;
};

}  // namespace hvr::e2e
