// One read/write mapping of a whole existing file, with what the flow record
// needs around it: the file's identity, an advisory lock, a write past the
// mapping, and a guard that survives the file being truncated under the
// mapping. Platform code: open, mmap, flock, fstat and the process-wide
// SIGBUS handler behind the guard (port/TruncationGuard.h).
//
// Nothing of it reaches another process. The descriptor is opened
// close-on-exec in one step (a program that a host thread starts at that
// moment does not get it; Boost.Interprocess opens without the flag, which is
// why the mapping is made here with plain system calls), and the mapping is
// not inherited by fork (MADV_DONTFORK): a child forked without exec would
// otherwise keep the open file, and with it the advisory lock, for as long
// as it lives. A fork by another thread in the instant between mmap and
// madvise still copies the mapping; so does one while a descriptor is open
// (a mapping without a guard keeps its descriptor).
//
// Thread safety: one owner at a time (the flow record holds its own lock).
#pragma once

#include <cstddef>
#include <cstdint>
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
// port/TruncationGuard.h).
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
    std::size_t size() const { return view != nullptr ? mappedSize : 0; }
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
    // Reads size bytes at offset 0 of the file with one system call; false
    // when it could not read them all (no descriptor, a shorter file).
    bool readThrough(uint8_t* bytes, std::size_t size) const;

    // An exclusive advisory lock (flock) on the open file, held until close.
    // False when another holder (another open of the file, in this process
    // or another) has it; true when it is ours, or when the file system
    // keeps no such locks.
    bool lockExclusive();

    // A mark that this open of the file shares it with a holder of the
    // exclusive lock: a shared open-file-description lock (fcntl F_OFD_SETLK)
    // on the one byte at offset, beyond what the file holds. It lasts as the
    // lock of lockExclusive does, and needs the descriptor. False when it
    // could not be set.
    bool markShared(uint64_t offset);
    void clearShared(uint64_t offset);

    // Closes the descriptor and keeps the mapping. The mapping holds the open
    // file, and with it a lock taken by lockExclusive, until close: one
    // descriptor less for as long as the record is open. Afterwards
    // writeThrough fails and lockExclusive has nothing to lock (it returns
    // true), so it is for a guarded mapping whose lock is held.
    void closeDescriptor();

private:
    int fd = -1;
    uint8_t* view = nullptr;
    std::size_t mappedSize = 0;
    FileIdentity mappedIdentity;
    TruncationGuard guard;
};

// Whether an open of the file at path other than those of this call holds
// the mark of markShared at offset. Opens the file for the look and closes it.
bool sharedMarkHeld(const std::string& path, uint64_t offset);

// What the path names now: nothing (false, with errno set), or a file whose
// identity and size are filled in.
bool identifyPath(const std::string& path, FileIdentity* identity, uint64_t* size);

}  // namespace hvr
