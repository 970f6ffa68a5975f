// Login, logout, the session identity and the flow record.
#include "ops/LoginRequest.h"
#include "trader/TraderHVR.h"

namespace hvr {

int TraderHVR::login(const char* user, const char* password, const char* resource) {
    const std::string userText = user != nullptr ? user : "";
    exchg::ReqLogin request;
    buildLoginRequest(userText, password != nullptr ? password : "", resource != nullptr ? resource : "",
                      chooseLoginPushId(userText), request);
    {
        // After the push id is chosen: it reads the user's own file.
        std::lock_guard<std::mutex> guard(identityLock);
        userName = userText;
    }
    sendMessage(request, FC_CMD_LOGIN, nextRequestNo());
    return 0;
}

int TraderHVR::logout() {
    sendEmptyRequest(FC_CMD_LOGOUT, nextRequestNo());
    return 0;
}

int64_t TraderHVR::chooseLoginPushId(const std::string& user) {
    {
        // The record may be re-opened by the network thread or closed by init
        // at any time; flowLock keeps its mapping in place while it is read.
        std::lock_guard<std::mutex> guard(flowLock);
        if (const uint8_t* record = flowRecord.load()) return loadRecordPushId(record);
    }
    int mode = 0;
    {
        std::lock_guard<std::mutex> guard(configLock);
        mode = pushMode;
    }
    return readStoredPushId(mode, flowFileNameFor(user));
}

void TraderHVR::onLoginAnswer(const exchg::AnsLogin& answer) {
    if (answer.result() != 0) {
        if (kra::ITraderListener* l = listener.load(std::memory_order_acquire))
            l->onLoginResult(false, answer.message().c_str(), answer.tradingdate());
        return;
    }
    tradingDate.store(answer.tradingdate());
    sessionId.store(answer.has_sessionid() ? answer.sessionid() : 0);
    entrustSequence.store(0);
    if (openFlowRecord()) storeRecordTradingDate(flowRecord.load(), answer.tradingdate());
    if (kra::ITraderListener* l = listener.load(std::memory_order_acquire))
        l->onLoginResult(true, "", answer.tradingdate());
}

bool TraderHVR::openFlowRecord() {
    const std::string name = flowFileNameFor(currentUserName());
    std::lock_guard<std::mutex> guard(flowLock);
    // On the network thread nothing can be writing to the old view: free it.
    flowRecord.store(nullptr);
    flowFile.reset();
    retiredFlowFiles.clear();

    prepareFlowFile(name);
    auto mapped = std::make_unique<MappedFile>();
    if (!mapped->open(name) || mapped->size() < FLOW_FILE_SIZE) return false;
    flowFile = std::move(mapped);
    flowRecord.store(flowFile->address());
    return true;
}

void TraderHVR::closeFlowRecord() {
    bool threadRunning = false;
    {
        std::lock_guard<std::mutex> guard(threadLock);
        threadRunning = networkThreadRunning;
    }
    std::lock_guard<std::mutex> guard(flowLock);
    flowRecord.store(nullptr);
    if (!flowFile) return;
    if (threadRunning && !onNetworkThread()) {
        // A push on the network thread may still hold the old address: keep
        // the view mapped until that thread frees it.
        retiredFlowFiles.push_back(std::move(flowFile));
    } else {
        flowFile.reset();
        retiredFlowFiles.clear();
    }
}

void TraderHVR::onPushHandled(uint64_t pushId) {
    if (uint8_t* record = flowRecord.load()) storeRecordPushId(record, pushId);
}

std::string TraderHVR::currentUserName() {
    std::lock_guard<std::mutex> guard(identityLock);
    return userName;
}

std::string TraderHVR::flowFileNameFor(const std::string& user) {
    std::lock_guard<std::mutex> guard(configLock);
    return flowFileName(folder, user);
}

}  // namespace hvr
