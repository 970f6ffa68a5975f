#include "PushLog.h"

#include <algorithm>

namespace hvr::sim {

void PushLog::restore(std::vector<PushRecord> records) {
    byAccount_.clear();
    for (PushRecord& r : records) byAccount_[r.accountId].push_back(std::move(r));
}

void PushLog::raiseFloor(uint32_t accountId, uint64_t lastIssued) {
    uint64_t& floor = floors_[accountId];
    floor = std::max(floor, lastIssued);
}

const PushRecord& PushLog::append(uint32_t accountId, uint32_t mtype, std::string data) {
    PushRecord record;
    record.accountId = accountId;
    record.pushId = nextPushId(accountId);
    record.mtype = mtype;
    record.data = std::move(data);
    std::vector<PushRecord>& log = byAccount_[accountId];
    log.push_back(std::move(record));
    return log.back();
}

void PushLog::dropLatest(uint32_t accountId, uint64_t pushId) {
    auto it = byAccount_.find(accountId);
    if (it != byAccount_.end() && !it->second.empty() && it->second.back().pushId == pushId) it->second.pop_back();
}

std::vector<PushRecord> PushLog::replay(uint32_t accountId, int64_t requested) const {
    if (requested < 0) return {};
    auto it = byAccount_.find(accountId);
    if (it == byAccount_.end()) return {};
    const std::vector<PushRecord>& log = it->second;
    const uint64_t after = static_cast<uint64_t>(requested);
    auto first = std::upper_bound(log.begin(), log.end(), after,
                                  [](uint64_t id, const PushRecord& r) { return id < r.pushId; });
    return std::vector<PushRecord>(first, log.end());
}

uint64_t PushLog::nextPushId(uint32_t accountId) const {
    uint64_t last = 0;
    auto floor = floors_.find(accountId);
    if (floor != floors_.end()) last = floor->second;
    auto it = byAccount_.find(accountId);
    if (it != byAccount_.end() && !it->second.empty()) last = std::max(last, it->second.back().pushId);
    return last + 1;
}

}  // namespace hvr::sim
