// Login, logout, the session identity and the flow record.
#include "ops/FlowNoticeLog.h"
#include "ops/LoginRequest.h"
#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

int TraderHVR::login(const char* user, const char* password, const char* resource) {
    if (copiedByFork()) return -1;  // nothing on the parent's connection
    const std::string userText = user != nullptr ? user : "";
    const int64_t pushId = chooseLoginPushId(userText);
    exchg::ReqLogin request;
    buildLoginRequest(userText, password != nullptr ? password : "", resource != nullptr ? resource : "", pushId,
                      request);
    {
        // After the push id is chosen: it reads the user's own file.
        MutexLock guard(&sessionLock);
        userName = userText;
        loginResumedFrom = pushId;
    }
    return sendMessage(request, FC_CMD_LOGIN) ? 0 : -1;
}

int TraderHVR::logout() { return sendEmptyRequest(FC_CMD_LOGOUT) ? 0 : -1; }

int64_t TraderHVR::chooseLoginPushId(const std::string& user) {
    // Each login looks at the open record's file: one deleted or replaced
    // since is written again now, before a restart could read it.
    logFlowNotices(reporter, flowRecord.verify());
    int mode = 0;
    std::string path;
    {
        MutexLock guard(&sessionLock);
        mode = pushMode;
        path = flowFileName(folder, user);
    }
    // The record belongs to one user and one file: a login for another
    // chooses as if no record were open.
    if (const std::optional<int64_t> recorded = flowRecord.pushIdForLogin(path)) return *recorded;
    return readStoredPushId(mode, path);
}

void TraderHVR::onLoginAnswer(const exchg::AnsLogin& answer) {
    if (answer.result() != 0) {
        reporter.call([&](kra::ITraderListener* l) {
            l->onLoginResult(false, answer.message().c_str(), answer.tradingdate());
        });
        return;
    }
    {
        MutexLock guard(&identityLock);
        tradingDate = answer.tradingdate();
        sessionId = answer.has_sessionid() ? answer.sessionid() : 0;
        entrustSequence = 0;
    }
    std::string name;
    int64_t resumedFrom = 0;
    {
        MutexLock guard(&sessionLock);
        name = flowFileName(folder, userName);
        resumedFrom = loginResumedFrom;
    }
    // Opened, dated and attached as one step under the record's own lock.
    const FlowRecord::Opened opened = flowRecord.open(name, answer.tradingdate());
    logFlowNotices(reporter, opened.notices);
    if (!opened.ok) {
        // The login still counts; but without a record the next start cannot
        // resume the push stream where this one ends, so say so.
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_FLOW_UNAVAILABLE, name.c_str(), opened.reason.c_str());
    } else if (opened.previousTradingDate != 0 && opened.previousTradingDate != answer.tradingdate() &&
               resumedFrom > 0) {
        // A server that numbers each day's pushes from 1 skips the new day's
        // pushes up to the id this login resumed from.
        const long long id = resumedFrom;
        reporter.log(kra::LOG_LEVEL_WARN, LOG_NEW_TRADING_DAY, opened.previousTradingDate, answer.tradingdate(), id,
                     id);
    }
    reporter.call([&](kra::ITraderListener* l) { l->onLoginResult(true, "", answer.tradingdate()); });
}

std::string TraderHVR::accountName() {
    MutexLock guard(&sessionLock);
    return userName;
}

void TraderHVR::onServerHeartbeat() {
    thread.assertCurrent();
    link.serverHeartbeat();
}

}  // namespace hvr
