// What the trader does with each parsed answer and push: build the host's
// records, hand them to the listener through the Reporter, release them. The
// records of pushes and order answers come from a RecordPool and go back to
// it (see ops/RecordPool.h); while no listener is registered nothing is built.
// Login answers and push ids concern the trader's own session state and go
// to its SessionHooks. The fuzzer runs this same class over arbitrary
// streams with a checking listener.
//
// Thread safety: one dispatching thread (the trader's network thread).
#pragma once

#include <cstdint>
#include <string>

#include "ops/Dispatcher.h"
#include "ops/RecordPool.h"
#include "ops/Reporter.h"

namespace hvr {

class SessionHooks {
public:
    // A parsed login answer; reports to the host itself.
    virtual void onLoginAnswer(const exchg::AnsLogin& answer) = 0;
    // After the push's order or trade (if any) was delivered.
    virtual void onPushHandled(uint64_t pushId) = 0;
    // The accountName of funds records: the user of the latest login.
    virtual std::string accountName() = 0;
    // The server sent a heartbeat.
    virtual void onServerHeartbeat() = 0;

protected:
    ~SessionHooks() = default;
};

class AnswerDelivery final : public PacketHandler {
public:
    // Both must outlive the delivery.
    AnswerDelivery(Reporter& reporter, SessionHooks& session) : reporter(reporter), session(session) {}

    void onLoginAnswer(const exchg::AnsLogin& answer) override { session.onLoginAnswer(answer); }
    void onOrderInsertAnswer(const exchg::AnsOrderInsert& answer) override;
    void onOrderCancelAnswer(const exchg::AnsOrderCancel& answer) override;
    void onOrderList(const exchg::OrderList& list) override;
    void onTradeList(const exchg::TradeList& list) override;
    void onPositionList(const exchg::PositionList& list) override;
    void onAccountInfo(const exchg::AnsAccountInfo& answer) override;
    void onOrderPush(const exchg::Order& order) override;
    void onTradePush(const exchg::Trade& trade) override;
    void onPushHandled(uint64_t pushId) override { session.onPushHandled(pushId); }
    void onUnreadablePush(uint64_t pushId, int32_t mtype) override;
    void onUnreadableAnswer(uint16_t functionCode) override;
    void onHeartbeat() override { session.onServerHeartbeat(); }

private:
    Reporter& reporter;
    SessionHooks& session;
    RecordPool records;
};

}  // namespace hvr
