// The open flow record: the mapped 12-byte flow file of the user of the last
// successful login. It is the one owner of that mapping. Logins read the push
// id to resume from while the record is attached to them; pushes store their
// id into it.
//
// Life of a record:
//   open     a successful login answer: maps the file, stores the trading
//            date and makes the record the one logins and pushes use, as one
//            step; a record open before is closed first.
//   detach   init: logins choose their push id from pushmode and the file
//            again, but pushes still arriving on the session that opened the
//            record keep being stored, so the file always holds the last push
//            handled and a later resume neither repeats nor skips any.
//   close    release (and destruction): unmapped; pushes are not recorded.
//
// Thread safety: every operation takes the record's own lock, so a login on a
// host thread, init on another and the network thread's opens and stores
// never see a mapping that is going away. The lock is a leaf: nothing else is
// taken while it is held.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ops/FlowFile.h"
#include "port/Mutex.h"

namespace hvr {

class FlowRecord {
public:
    // Opens the record of path (made 12 bytes first when it is not), stores
    // tradingDate into it and attaches it to logins. On failure returns false
    // with the reason in *reason, and no record is open afterwards.
    bool open(const std::string& path, uint32_t tradingDate, std::string* reason) EXCLUDES(lock);
    void detach() EXCLUDES(lock);
    void close() EXCLUDES(lock);

    // The push id a login resumes from, while a record is attached to logins.
    std::optional<int64_t> pushIdForLogin() EXCLUDES(lock);
    // Stores the id of a push just handled, if a record is open.
    void storePushId(uint64_t pushId) EXCLUDES(lock);

private:
    Mutex lock;
    std::unique_ptr<MappedFile> file GUARDED_BY(lock);
    uint8_t* record GUARDED_BY(lock) = nullptr;  // non-null exactly while file is mapped
    bool attachedToLogins GUARDED_BY(lock) = false;
};

}  // namespace hvr
