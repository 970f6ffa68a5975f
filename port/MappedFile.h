// One read/write mapping of a whole existing file, with what the flow record
// needs around it: the file's identity, an advisory lock, a write past the
// mapping, and a guard that survives the file being truncated under the
// mapping. Platform code: mmap, flock, fstat and the process-wide SIGBUS
// handler behind the guard (port/TruncationGuard.h).
//
// Thread safety: one owner at a time (the flow record holds its own lock).
#pragma once

#include <boost/interprocess/file_mapping.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "port/TruncationGuard.h"

namespace hvr {

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

    std::unique_ptr<boost::interprocess::file_mapping> mapping;
    std::unique_ptr<boost::interprocess::mapped_region> region;
    uint8_t* view = nullptr;
    FileIdentity mappedIdentity;
    TruncationGuard guard;
};

// What the path names now: nothing (false, with errno set), or a file whose
// identity and size are filled in.
bool identifyPath(const std::string& path, FileIdentity* identity, uint64_t* size);

}  // namespace hvr
