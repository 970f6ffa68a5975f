// The push log of a trading day: every order and trade push of every account,
// each with an id that increases by one per account from 1, or from above a
// floor: the last id an earlier day (of any date) gave the account, so that
// a client's record of an earlier day never hides the new day's pushes. The
// log is what a client's login replays. Pure; owned by the Book and used on its thread.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "Records.h"

namespace hvr::sim {

// pushid values a client sends with its login.
constexpr int64_t PUSH_RESUME_NEW_ONLY = -1;  // nothing replayed
constexpr int64_t PUSH_RESUME_ALL = 0;        // the whole day replayed

class PushLog {
public:
    // Restores a saved log. REQUIRES: records in increasing push-id order per
    // account.
    void restore(std::vector<PushRecord> records);

    // The account's ids go on above lastIssued (no effect when its log or
    // an earlier floor is higher already).
    void raiseFloor(uint32_t accountId, uint64_t lastIssued);

    // Appends a push for accountId under the account's next id and returns it.
    const PushRecord& append(uint32_t accountId, uint32_t mtype, std::string data);

    // Takes back the account's latest push when its id is pushId (a push
    // that could not be saved); its id is handed out again by the next append.
    void dropLatest(uint32_t accountId, uint64_t pushId);

    // The pushes a login with resume id `requested` receives, in id order:
    // none for a negative id, all of the day for 0, those with id > n for n > 0.
    std::vector<PushRecord> replay(uint32_t accountId, int64_t requested) const;

    // The id the next push of accountId will get.
    uint64_t nextPushId(uint32_t accountId) const;

private:
    std::map<uint32_t, std::vector<PushRecord>> byAccount_;
    std::map<uint32_t, uint64_t> floors_;  // by account: last id issued before this log
};

}  // namespace hvr::sim
