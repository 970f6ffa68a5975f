#include "ops/FlowRecord.h"

namespace hvr {

bool FlowRecord::open(const std::string& path, uint32_t tradingDate, std::string* reason) {
    MutexLock guard(&lock);
    record = nullptr;
    attachedToLogins = false;
    file.reset();

    if (!prepareFlowFile(path, reason)) return false;
    auto mapped = std::make_unique<MappedFile>();
    if (!mapped->open(path, reason)) return false;
    if (mapped->size() < FLOW_FILE_SIZE) {
        *reason = "file shorter than 12 bytes";
        return false;
    }
    file = std::move(mapped);
    record = file->address();
    storeRecordTradingDate(record, tradingDate);
    attachedToLogins = true;
    return true;
}

void FlowRecord::detach() {
    MutexLock guard(&lock);
    attachedToLogins = false;
}

void FlowRecord::close() {
    MutexLock guard(&lock);
    record = nullptr;
    attachedToLogins = false;
    file.reset();
}

std::optional<int64_t> FlowRecord::pushIdForLogin() {
    MutexLock guard(&lock);
    if (record == nullptr || !attachedToLogins) return std::nullopt;
    return loadRecordPushId(record);
}

void FlowRecord::storePushId(uint64_t pushId) {
    MutexLock guard(&lock);
    if (record != nullptr) storeRecordPushId(record, pushId);
}

}  // namespace hvr
