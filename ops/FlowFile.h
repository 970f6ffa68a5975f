// The per-user flow file: 12 bytes, little-endian, that keep the id of the
// last push handled (offset 0, 64 bits) and the trading date of the last
// successful login (offset 8, 32 bits). Its name is the folder text, the user
// name and ".flow", joined with nothing in between.
//
// These are plain functions over file names and a mapping holder; which thread
// may call what is the trader's matter (see TraderHVR.h).
#pragma once

#include <boost/interprocess/file_mapping.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "port/TruncationGuard.h"

namespace hvr {

constexpr std::size_t FLOW_FILE_SIZE = 12;
constexpr std::size_t FLOW_OFFSET_PUSH_ID = 0;
constexpr std::size_t FLOW_OFFSET_TRADING_DATE = 8;
inline constexpr const char FLOW_FILE_EXTENSION[] = ".flow";

// folder + user + ".flow", with no separator added.
std::string flowFileName(const std::string& folder, const std::string& user);

// The push id stored in the file: its first 8 bytes as a little-endian signed
// value. A missing file is created empty; a file that cannot be opened, or
// holds fewer than 8 bytes, gives 0.
int64_t readFlowFilePushId(const std::string& path);

// The push id a login sends while no flow record is open: -1 for pushmode 1,
// 0 for pushmode 2 (the file is not touched in either case), otherwise the
// value stored in the file.
int64_t readStoredPushId(int pushMode, const std::string& path);

// Makes the file exactly 12 bytes: a file of any other size (or a missing
// one) becomes 12 zero bytes; a 12-byte file keeps its content. Returns false
// when the file could not be reset, with the system's reason in *reason.
bool prepareFlowFile(const std::string& path, std::string* reason = nullptr);

// Which file a descriptor or a path names: a file deleted, or renamed over,
// under an open descriptor is told apart from the one the path names now.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity& o) const { return device == o.device && inode == o.inode; }
    bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// One read/write mapping of a whole existing file. Its first page is watched
// by a TruncationGuard while mapped, so that the file truncated under it
// makes faulted() true instead of killing the process (see
// port/TruncationGuard.h). The descriptor is closed on exec.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() { close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False, creating nothing, when no file of that name exists or it cannot
    // be opened and mapped read/write; *reason then says why.
    bool open(const std::string& name, std::string* reason = nullptr);
    void close();
    // First byte of the mapped view, or null.
    uint8_t* address() const { return view; }
    std::size_t size() const;
    const std::string& name() const { return path; }
    FileIdentity identity() const { return mappedIdentity; }

    // Whether a truncation of the file is survived (see the class comment);
    // false when the process could not give this mapping a guard.
    bool guarded() const { return guard.watching(); }
    // An access to the mapping found the file truncated under it: the view
    // holds zeros of our own now and no longer reaches the file.
    bool faulted() const { return guard.faulted(); }

    // Writes size bytes at offset 0 of the file with one system call, past
    // the mapping: for a mapping that has no guard. False when it failed.
    bool writeThrough(const uint8_t* bytes, std::size_t size) const;

    // An exclusive advisory lock (flock) on the open file, held until close.
    // False when another holder (another open of the file, in this process
    // or another) has it; true when it is ours, or when the file system
    // keeps no such locks.
    bool lockExclusive();

    // Closes the descriptor and keeps the mapping. The mapping holds the open
    // file, and with it a lock taken by lockExclusive, until close: one
    // descriptor less for as long as the record is open. Afterwards
    // writeThrough fails and lockExclusive has nothing to lock (it returns
    // true), so it is for a guarded mapping whose lock is held.
    void closeDescriptor();

private:
    int descriptor() const;

    std::string path;
    std::unique_ptr<boost::interprocess::file_mapping> mapping;
    std::unique_ptr<boost::interprocess::mapped_region> region;
    uint8_t* view = nullptr;
    FileIdentity mappedIdentity;
    TruncationGuard guard;
};

// What the path names now: nothing (false, with errno set), or a file whose
// identity and size are filled in.
bool identifyPath(const std::string& path, FileIdentity* identity, uint64_t* size);

// Record access. The push id is one aligned 64-bit word, stored and loaded
// whole, so that a reader on another thread never sees half a value. Inline:
// every push stores.
inline int64_t loadRecordPushId(const uint8_t* record) {
    const uint64_t* word = reinterpret_cast<const uint64_t*>(record + FLOW_OFFSET_PUSH_ID);
    return static_cast<int64_t>(__atomic_load_n(word, __ATOMIC_RELAXED));
}
inline uint32_t loadRecordTradingDate(const uint8_t* record) {
    const uint32_t* word = reinterpret_cast<const uint32_t*>(record + FLOW_OFFSET_TRADING_DATE);
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}
inline void storeRecordPushId(uint8_t* record, uint64_t pushId) {
    uint64_t* word = reinterpret_cast<uint64_t*>(record + FLOW_OFFSET_PUSH_ID);
    __atomic_store_n(word, pushId, __ATOMIC_RELAXED);
}
inline void storeRecordTradingDate(uint8_t* record, uint32_t tradingDate) {
    uint32_t* word = reinterpret_cast<uint32_t*>(record + FLOW_OFFSET_TRADING_DATE);
    __atomic_store_n(word, tradingDate, __ATOMIC_RELAXED);
}
// The 12 bytes of a record, as the file holds them.
void encodeRecord(uint8_t (&bytes)[FLOW_FILE_SIZE], uint64_t pushId, uint32_t tradingDate);

}  // namespace hvr
