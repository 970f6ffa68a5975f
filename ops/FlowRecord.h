// The open flow record: the push id of the last push handled and the trading
// date of the login that opened it, for one user and one file. It is the one
// owner of that file's mapping. Logins for the record's own file resume from
// its push id; pushes store their id into it.
//
// The record is kept in memory and the mapped file is its copy on disk,
// written with every store (all 12 bytes, plain stores into the mapping: no
// system call, and the bytes are in the file even if the process is killed
// right after). Because the record does not live only in the file, the file
// can be put right when something outside changes it:
//   truncated   a store finds the file cut short under the mapping (the
//               SIGBUS is caught, see port/TruncationGuard.h): the file is
//               rewritten and mapped again at that store;
//   deleted, renamed over, resized
//               the path no longer names the mapped file, whole: found at
//               each login (verify) and by a store at most checkInterval
//               after the last look; the file is written again from the
//               record.
//   changed     the file holds something else than the record (a backup
//               copied over it while no push came): found at each login and
//               at close, by the holder of the file's lock while nobody
//               shares the file; the record is written back into it.
// Each rewrite is reported once, as a notice the caller logs (no listener
// call is made under the record's lock). While a record is open its file
// carries an exclusive advisory lock. A record that finds the lock taken
// shares the file: it marks the file so (MappedFile::markShared) and is told
// at each login; so is the holder of the lock, at each of its logins while
// such a mark is there.
//
// Life of a record:
//   open     a successful login answer: maps the file, stores the trading
//            date and makes the record the one logins and pushes use, as one
//            step. Another file's record open before is closed first (its
//            file looked at a last time); the same file's record carries on (the record in memory is the live
//            copy, so a file changed under it is rewritten, not believed).
//   detach   init: logins choose their push id from pushmode and the file
//            again, but pushes still arriving on the session that opened the
//            record keep being stored, so the file always holds the last push
//            handled and a later resume neither repeats nor skips any.
//   close    release (and destruction): the file is looked at a last time,
//            then unmapped; pushes are not recorded.
//
// Thread safety: every operation takes the record's own lock, so a login on a
// host thread, init on another and the network thread's opens and stores
// never see a mapping that is going away. The lock is a leaf: nothing else is
// taken while it is held.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ops/FlowFile.h"
#include "port/MappedFile.h"
#include "port/Mutex.h"

namespace hvr {

// How the file was found when it had to be written again.
enum class FlowDamage {
    Truncated,   // cut short under the mapping (a store faulted)
    Missing,     // deleted or renamed away: the path names nothing
    Replaced,    // the path names another file
    WrongSize,   // the mapped file is no longer 12 bytes
    Changed,     // the same file, 12 bytes, but not what the record holds
};

// Something about the record's file the host should be told.
struct FlowNotice {
    enum class Kind {
        Rewritten,      // the file was written again from the record
        Unavailable,    // it could not be: reason says why (retried later)
        HeldElsewhere,  // another object or process holds the file's lock
    };
    Kind kind = Kind::Rewritten;
    std::string path;
    FlowDamage damage = FlowDamage::Truncated;  // Rewritten, Unavailable
    int64_t pushId = 0;                         // Rewritten: what the file holds now
    std::string reason;                         // Unavailable
};
using FlowNotices = std::vector<FlowNotice>;

class FlowRecord {
public:
    explicit FlowRecord(std::chrono::milliseconds checkInterval = std::chrono::seconds(1))
        : checkIntervalNs(std::chrono::duration_cast<std::chrono::nanoseconds>(checkInterval).count()) {}

    struct Opened {
        bool ok = false;
        std::string reason;                // when not ok
        uint32_t previousTradingDate = 0;  // the date the record held before this login's
        FlowNotices notices;
    };
    // Opens the record of path (made 12 bytes first when it is not), stores
    // tradingDate into it and attaches it to logins. When not ok, no record is
    // open afterwards.
    Opened open(const std::string& path, uint32_t tradingDate) EXCLUDES(lock);
    void detach() EXCLUDES(lock);
    // Leaves the file right (as verify does) and unmaps it.
    FlowNotices close() EXCLUDES(lock);

    // Checks that the path still names the record's file, 12 bytes long, and
    // writes it again from the record when not.
    FlowNotices verify() EXCLUDES(lock);
    // The push id a login resumes from: only while a record is attached to
    // logins, and only for a login whose flow file is the record's own.
    std::optional<int64_t> pushIdForLogin(const std::string& path) EXCLUDES(lock);
    // Stores the id of a push just handled, if a record is open. Empty unless
    // the file had to be looked after.
    FlowNotices storePushId(uint64_t pushId) EXCLUDES(lock);

private:
    // How far a look at the file goes: whether the path still names the
    // mapped file, 12 bytes long; or that and whether it holds the record.
    enum class Look { Place, Content };
    // The byte whose shared mark says that an open of the file shares it
    // with the holder of its lock (MappedFile::markShared): beyond the record.
    static constexpr uint64_t SHARED_MARK_OFFSET = FLOW_FILE_SIZE;

    void closeLocked() REQUIRES(lock);
    FlowNotices verifyLocked(Look look) REQUIRES(lock);
    std::optional<FlowDamage> inspectLocked(Look look) REQUIRES(lock);
    std::optional<FlowDamage> inspectContentLocked() REQUIRES(lock);
    void rewriteLocked(FlowNotices& notices) REQUIRES(lock);
    void writeLocked() REQUIRES(lock);
    void lockFileLocked(FlowNotices& notices) REQUIRES(lock);

    const int64_t checkIntervalNs;

    Mutex lock;
    bool isOpen GUARDED_BY(lock) = false;
    std::string path GUARDED_BY(lock);
    uint64_t pushId GUARDED_BY(lock) = 0;
    uint32_t tradingDate GUARDED_BY(lock) = 0;
    bool attachedToLogins GUARDED_BY(lock) = false;
    // The file's mapping; null only while the file could not be written
    // again after damage (the record goes on in memory, and is retried).
    std::unique_ptr<MappedFile> file GUARDED_BY(lock);
    bool holdsFileLock GUARDED_BY(lock) = false;
    std::optional<FlowDamage> pendingDamage GUARDED_BY(lock);  // found, not yet put right
    bool unavailableReported GUARDED_BY(lock) = false;
    int64_t nextCheckNs GUARDED_BY(lock) = 0;
};

}  // namespace hvr
