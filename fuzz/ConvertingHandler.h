// The packet handler of the fuzz build: it does with every parsed message
// what the trader does before the listener call (the real conversions, the
// error objects), checks what the conversions produced and releases every
// object. It counts what it saw, so a test can tell which path a stream took.
// Single-threaded: one handler per fed stream.
#pragma once

#include <cstdint>

#include "host/SimpleContractCatalog.h"
#include "ops/AnswerDelivery.h"

namespace hvr_fuzz {

// What one handler saw. records counts the host records delivered (array
// elements, entrust answers, pushed orders and trades); errors the NXSError
// objects.
struct HandledCounts {
    int logins = 0;
    int orderInserts = 0;
    int orderCancels = 0;
    int orderLists = 0;
    int tradeLists = 0;
    int positionLists = 0;
    int accountInfos = 0;
    int orderPushes = 0;
    int tradePushes = 0;
    int pushesHandled = 0;
    int unreadablePushes = 0;
    int unreadableAnswers = 0;
    int records = 0;
    int errors = 0;

    bool operator==(const HandledCounts& o) const;
    bool operator!=(const HandledCounts& o) const { return !(*this == o); }
    HandledCounts& operator+=(const HandledCounts& o);
};

// The catalog every fuzz run uses:
//   CU2409  multiplier 5,   CNY
//   IF2409  multiplier 300, CNY
//   ZERO01  multiplier 0    (a product whose multiplier was never filled in)
//   USD01   multiplier 10,  USD
//   NOPROD1 a contract without a product
kra::SimpleContractCatalog makeFuzzCatalog();

// A host listener that checks every object the trader hands it (one
// reference held by the trader during the call, codes in range, positions
// that match the catalog) and counts records and errors. It keeps nothing.
class CheckingListener final : public kra::ITraderListener {
public:
    explicit CheckingListener(kra::IContractCatalog* catalog, HandledCounts& counts)
        : catalog(catalog), seen(counts) {}

    void onTraderEvent(int, int) override {}
    void onLoginResult(bool, const char* message, uint32_t) override;
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) override;
    void onAccountAnswer(kra::NXSArray* accounts) override;
    void onPositionsAnswer(kra::NXSArray* positions) override;
    void onOrdersAnswer(kra::NXSArray* orders) override;
    void onTradesAnswer(kra::NXSArray* trades) override;
    void onOrderPush(kra::NXSOrderInfo* order) override;
    void onTradePush(kra::NXSTradeInfo* trade) override;
    void onTraderError(kra::NXSError* error) override;
    kra::IContractCatalog* getContractCatalog() override { return catalog; }
    void logMessage(int level, const char* format, ...) override;

private:
    kra::IContractCatalog* catalog;
    HandledCounts& seen;
};

// The packet handler of the fuzz build: it counts each call the dispatcher
// makes, then hands it to the trader's own AnswerDelivery, which builds the
// host records and passes them to a CheckingListener. So the fuzzer runs the
// product's receive loop, dispatch, conversions and listener calls.
// Single-threaded: one handler per fed stream.
class ConvertingHandler final : public hvr::PacketHandler {
public:
    // catalog may be null (a host that gave none); it must outlive the handler.
    explicit ConvertingHandler(kra::IContractCatalog* catalog);

    void onLoginAnswer(const exchg::AnsLogin& answer) override;
    void onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) override;
    void onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) override;
    void onOrderList(const exchg::OrderList& list) override;
    void onTradeList(const exchg::TradeList& list) override;
    void onPositionList(const exchg::PositionList& list) override;
    void onAccountInfo(const exchg::AnsAccountInfo& answer) override;
    void onOrderPush(const exchg::Order& order) override;
    void onTradePush(const exchg::Trade& trade) override;
    void onPushHandled(uint64_t pushId) override;
    void onUnreadablePush(uint64_t pushId, int32_t mtype) override;
    void onUnreadableAnswer(uint16_t functionCode) override;

    const HandledCounts& counts() const { return seen; }

private:
    // No session: a login answer changes nothing here, and push ids go to a
    // record that is never opened.
    struct NoSession final : hvr::SessionHooks {
        void onLoginAnswer(const exchg::AnsLogin&) override {}
        std::string accountName() override { return "fuzz"; }
        void onServerHeartbeat() override {}
    };

    HandledCounts seen;
    NoSession session;
    hvr::FlowRecord flowRecord;
    CheckingListener listener;
    hvr::Reporter reporter;
    hvr::AnswerDelivery delivery;
};

// Reports a broken invariant on stderr and aborts, so that libFuzzer keeps the
// input. Used instead of assert: the fuzz build may define NDEBUG.
[[noreturn]] void invariantFailed(const char* file, int line, const char* condition);

}  // namespace hvr_fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::hvr_fuzz::invariantFailed(__FILE__, __LINE__, #condition))
