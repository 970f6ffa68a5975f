// Login, logout, the session identity and the flow record.
#include "ops/LoginRequest.h"
#include "texts/LogText.h"
#include "trader/TraderHVR.h"

namespace hvr {

int TraderHVR::login(const char* user, const char* password, const char* resource) {
    if (copiedByFork()) return -1;  // nothing on the parent's connection
    const std::string userText = user != nullptr ? user : "";
    exchg::ReqLogin request;
    buildLoginRequest(userText, password != nullptr ? password : "", resource != nullptr ? resource : "",
                      chooseLoginPushId(userText), request);
    {
        // After the push id is chosen: it reads the user's own file.
        MutexLock guard(&stateLock);
        userName = userText;
    }
    return sendMessage(request, FC_CMD_LOGIN, nextRequestNo()) ? 0 : -1;
}

int TraderHVR::logout() { return sendEmptyRequest(FC_CMD_LOGOUT, nextRequestNo()) ? 0 : -1; }

int64_t TraderHVR::chooseLoginPushId(const std::string& user) {
    if (const std::optional<int64_t> recorded = flowRecord.pushIdForLogin()) return *recorded;
    int mode = 0;
    std::string folder;
    {
        MutexLock guard(&stateLock);
        mode = settings.pushMode;
        folder = settings.folder;
    }
    return readStoredPushId(mode, flowFileName(folder, user));
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
    {
        MutexLock guard(&stateLock);
        name = flowFileName(settings.folder, userName);
    }
    // Opened, dated and attached as one step under the record's own lock.
    std::string reason;
    if (!flowRecord.open(name, answer.tradingdate(), &reason)) {
        // The login still counts; but without a record the next start cannot
        // resume the push stream where this one ends, so say so.
        reporter.log(kra::LOG_LEVEL_ERROR, LOG_FLOW_UNAVAILABLE, name.c_str(), reason.c_str());
    }
    reporter.call([&](kra::ITraderListener* l) { l->onLoginResult(true, "", answer.tradingdate()); });
}

void TraderHVR::onPushHandled(uint64_t pushId) { flowRecord.storePushId(pushId); }

std::string TraderHVR::accountName() {
    MutexLock guard(&stateLock);
    return userName;
}

}  // namespace hvr
