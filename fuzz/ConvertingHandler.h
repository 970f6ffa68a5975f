// The packet handler of the fuzz build: it does with every parsed message
// what the trader does before the listener call (the real conversions, the
// error objects), checks what the conversions produced and releases every
// object. It counts what it saw, so a test can tell which path a stream took.
// Single-threaded: one handler per fed stream.
#pragma once

#include <cstdint>

#include "host/SimpleContractCatalog.h"
#include "ops/Dispatcher.h"

namespace hvr_fuzz {

// What one handler saw. records counts the host records made (array elements,
// entrust answers, pushed orders and trades); errors the NXSError objects.
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

class ConvertingHandler final : public hvr::PacketHandler {
public:
    // catalog may be null (a host that gave none); it must outlive the handler.
    explicit ConvertingHandler(kra::IContractCatalog* catalog) : catalog(catalog) {}

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

    const HandledCounts& counts() const { return seen; }

private:
    kra::IContractCatalog* catalog;
    HandledCounts seen;
};

// Reports a broken invariant on stderr and aborts, so that libFuzzer keeps the
// input. Used instead of assert: the fuzz build may define NDEBUG.
[[noreturn]] void invariantFailed(const char* file, int line, const char* condition);

}  // namespace hvr_fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::hvr_fuzz::invariantFailed(__FILE__, __LINE__, #condition))
