// What the trader does with each parsed answer and push: build the host's
// records, hand them to the listener through the Reporter, release them. The
// records of pushes and order answers come from a RecordPool and go back to
// it (see ops/RecordPool.h); while no listener is registered nothing is built.
// Each push's id goes into the flow record once its order or trade was
// delivered (nothing happens while no record is open), and what the record
// had to do about its file is logged (ops/FlowNoticeLog.h). Login answers and
// the account name concern the trader's session and go to its SessionHooks.
// The fuzzer runs this same class over arbitrary streams with a checking
// listener and a record that is never opened.
//
// Thread safety: one dispatching thread (the trader's network thread).
#pragma once

#include <cstdint>
#include <string>

#include "ops/Dispatcher.h"
#include "ops/FlowRecord.h"
#include "ops/RecordPool.h"
#include "ops/Reporter.h"

namespace hvr {

class SessionHooks {
public:
    // A parsed login answer; reports to the host itself.
    virtual void onLoginAnswer(const exchg::AnsLogin& answer) = 0;
    // The accountName of funds records: the user of the latest login.
    virtual std::string accountName() = 0;
    // The server sent a heartbeat.
    virtual void onServerHeartbeat() = 0;

protected:
    ~SessionHooks() = default;
};

class AnswerDelivery final : public PacketHandler {
public:
    // All three must outlive the delivery.
    AnswerDelivery(Reporter& reporter, FlowRecord& flowRecord, SessionHooks& session)
        : reporter(reporter), flowRecord(flowRecord), session(session) {}

    void onLoginAnswer(const exchg::AnsLogin& answer) override { session.onLoginAnswer(answer); }
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
    void onHeartbeat() override { session.onServerHeartbeat(); }

private:
    Reporter& reporter;
    FlowRecord& flowRecord;
    SessionHooks& session;
    RecordPool records;
};

}  // namespace hvr
