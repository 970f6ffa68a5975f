#include "ops/FlowRecord.h"

#include <time.h>

#include <cstring>

namespace hvr {

namespace {

// The coarse clock is read without a system call: cheap enough for every
// store, fine enough for a once-a-second look at the file.
int64_t nowNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const char* const SHORT_FILE = "file shorter than 12 bytes";

// A mapping of path, made 12 bytes first; null with *reason when it cannot be.
std::unique_ptr<MappedFile> mapFlowFile(const std::string& path, std::string* reason) {
    auto mapped = std::make_unique<MappedFile>();
    if (!prepareFlowFile(path, reason) || !mapped->open(path, reason)) return nullptr;
    if (mapped->size() < FLOW_FILE_SIZE) {
        *reason = SHORT_FILE;
        return nullptr;
    }
    return mapped;
}

FlowNotice noticeOf(FlowNotice::Kind kind, const std::string& path, FlowDamage damage = FlowDamage::Truncated) {
    FlowNotice notice;
    notice.kind = kind;
    notice.path = path;
    notice.damage = damage;
    return notice;
}

}  // namespace

FlowRecord::Opened FlowRecord::open(const std::string& name, uint32_t date) {
    MutexLock guard(&lock);
    Opened result;
    // The record open now (this file's or another's) leaves its file right.
    result.notices = verifyLocked(Look::Place);
    if (!isOpen || name != path) {
        closeLocked();
        std::unique_ptr<MappedFile> mapped = mapFlowFile(name, &result.reason);
        if (!mapped) return result;
        // An existing 12-byte file keeps its content: its push id carries over.
        pushId = static_cast<uint64_t>(loadRecordPushId(mapped->address()));
        tradingDate = loadRecordTradingDate(mapped->address());
        file = std::move(mapped);
        path = name;
        isOpen = true;
    }
    result.previousTradingDate = tradingDate;
    tradingDate = date;
    writeLocked();
    attachedToLogins = true;
    lockFileLocked(result.notices);
    nextCheckNs = nowNs() + checkIntervalNs;
    result.ok = true;
    return result;
}

void FlowRecord::detach() {
    MutexLock guard(&lock);
    attachedToLogins = false;
}

FlowNotices FlowRecord::close() {
    MutexLock guard(&lock);
    FlowNotices notices = verifyLocked(Look::Content);
    closeLocked();
    return notices;
}

void FlowRecord::closeLocked() {
    file.reset();
    isOpen = false;
    attachedToLogins = false;
    path.clear();
    pushId = 0;
    tradingDate = 0;
    holdsFileLock = false;
    pendingDamage.reset();
    unavailableReported = false;
}

FlowNotices FlowRecord::verify() {
    MutexLock guard(&lock);
    return verifyLocked(Look::Content);
}

std::optional<int64_t> FlowRecord::pushIdForLogin(const std::string& name) {
    MutexLock guard(&lock);
    if (!isOpen || !attachedToLogins || name != path) return std::nullopt;
    return static_cast<int64_t>(pushId);
}

FlowNotices FlowRecord::storePushId(uint64_t id) {
    MutexLock guard(&lock);
    if (!isOpen) return {};
    pushId = id;
    writeLocked();
    // Damage found is put right at this store, and tried again at every
    // store until it is; anything else is looked for once the interval has
    // passed.
    if (pendingDamage || (file != nullptr && file->faulted()) || nowNs() >= nextCheckNs)
        return verifyLocked(Look::Place);
    return {};
}

FlowNotices FlowRecord::verifyLocked(Look look) {
    FlowNotices notices;
    if (!isOpen) return notices;
    nextCheckNs = nowNs() + checkIntervalNs;
    if (!pendingDamage) pendingDamage = inspectLocked(look);
    if (pendingDamage) rewriteLocked(notices);
    return notices;
}

std::optional<FlowDamage> FlowRecord::inspectLocked(Look look) {
    if (file == nullptr) return FlowDamage::Missing;
    if (file->faulted()) return FlowDamage::Truncated;
    FileIdentity named;
    uint64_t size = 0;
    if (!identifyPath(path, &named, &size)) return FlowDamage::Missing;
    if (named != file->identity()) return FlowDamage::Replaced;
    if (size != FLOW_FILE_SIZE) return FlowDamage::WrongSize;
    if (look == Look::Content) return inspectContentLocked();
    return std::nullopt;
}

std::optional<FlowDamage> FlowRecord::inspectContentLocked() {
    // Only the holder of the file's lock, and only while nobody shares the
    // file: sharers each store their own ids into it.
    if (!holdsFileLock || sharedMarkHeld(path, SHARED_MARK_OFFSET)) return std::nullopt;
    uint8_t expected[FLOW_FILE_SIZE];
    encodeRecord(expected, pushId, tradingDate);
    uint8_t found[FLOW_FILE_SIZE];
    if (file->guarded()) {
        encodeRecord(found, static_cast<uint64_t>(loadRecordPushId(file->address())),
                     loadRecordTradingDate(file->address()));
        if (file->faulted()) return FlowDamage::Truncated;  // cut short since the size was read
    } else if (!file->readThrough(found, sizeof found)) {
        return FlowDamage::WrongSize;
    }
    if (std::memcmp(found, expected, sizeof found) != 0) return FlowDamage::Changed;
    return std::nullopt;
}

void FlowRecord::rewriteLocked(FlowNotices& notices) {
    if (*pendingDamage == FlowDamage::Changed) {
        // The same file, whole: the record goes back into it in place.
        writeLocked();
        notices.push_back(noticeOf(FlowNotice::Kind::Rewritten, path, FlowDamage::Changed));
        notices.back().pushId = static_cast<int64_t>(pushId);
        pendingDamage.reset();
        return;
    }
    std::string reason;
    std::unique_ptr<MappedFile> fresh = mapFlowFile(path, &reason);
    if (!fresh) {
        // The old mapping (if any) stays, so stores do not fault again.
        if (!unavailableReported) {
            notices.push_back(noticeOf(FlowNotice::Kind::Unavailable, path, *pendingDamage));
            notices.back().reason = reason;
        }
        unavailableReported = true;
        return;
    }
    // The new mapping is guarded before it is written; the old one goes after
    // it, and its advisory lock with it.
    file = std::move(fresh);
    holdsFileLock = false;
    writeLocked();
    notices.push_back(noticeOf(FlowNotice::Kind::Rewritten, path, *pendingDamage));
    notices.back().pushId = static_cast<int64_t>(pushId);
    pendingDamage.reset();
    unavailableReported = false;
    lockFileLocked(notices);
}

void FlowRecord::writeLocked() {
    if (file == nullptr) return;
    if (file->guarded()) {
        storeRecordPushId(file->address(), pushId);
        storeRecordTradingDate(file->address(), tradingDate);
        return;
    }
    // Without a guard a store into a truncated file would kill the process:
    // one system call instead.
    uint8_t bytes[FLOW_FILE_SIZE];
    encodeRecord(bytes, pushId, tradingDate);
    file->writeThrough(bytes, sizeof bytes);
}

void FlowRecord::lockFileLocked(FlowNotices& notices) {
    if (file == nullptr) return;
    if (!holdsFileLock) {
        holdsFileLock = file->lockExclusive();
        if (!holdsFileLock) {
            // Another holder has it. The descriptor stays, so that a later
            // login can try again, and carries the mark that tells the holder
            // it is shared.
            file->markShared(SHARED_MARK_OFFSET);
            notices.push_back(noticeOf(FlowNotice::Kind::HeldElsewhere, path));
            return;
        }
        file->clearShared(SHARED_MARK_OFFSET);
        // The mapping keeps the file and the lock: the descriptor is needed
        // only to lock or to write without a guard.
        if (file->guarded()) file->closeDescriptor();
    }
    // The holder of the lock is told too, at each login, as long as another
    // object or process shares the file.
    if (sharedMarkHeld(path, SHARED_MARK_OFFSET)) notices.push_back(noticeOf(FlowNotice::Kind::HeldElsewhere, path));
}

}  // namespace hvr
