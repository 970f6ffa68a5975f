#include "port/MappedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "port/SystemFailure.h"

namespace hvr {

bool MappedFile::open(const std::string& name, std::string* reason) {
    close();
    if (::access(name.c_str(), F_OK) != 0) return failWith(reason, systemReason(errno));
    const int opened = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (opened < 0) return failWith(reason, systemReason(errno));
    struct stat st;
    const char* refusal = nullptr;
    std::string error;
    if (::fstat(opened, &st) != 0) {
        error = systemReason(errno);
    } else if (!S_ISREG(st.st_mode)) {
        refusal = "not a regular file";  // a device, say
    } else if (st.st_size <= 0) {
        refusal = "empty file";
    }
    if (refusal != nullptr || !error.empty()) {
        ::close(opened);
        return failWith(reason, refusal != nullptr ? std::string(refusal) : error);
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, opened, 0);
    if (mapped == MAP_FAILED) {
        const int error = errno;
        ::close(opened);
        return failWith(reason, systemReason(error));
    }
    // A child forked without exec gets no copy: it would hold the open file,
    // and the advisory lock on it, after we let go of both.
    ::madvise(mapped, size, MADV_DONTFORK);
    fd = opened;
    view = static_cast<uint8_t*>(mapped);
    mappedSize = size;
    mappedIdentity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    guard.watch(view);
    return true;
}

void MappedFile::close() {
    guard.unwatch();  // before the page goes
    if (view != nullptr) ::munmap(view, mappedSize);
    view = nullptr;
    mappedSize = 0;
    closeDescriptor();
    mappedIdentity = FileIdentity{};
}

bool MappedFile::writeThrough(const uint8_t* bytes, std::size_t size) const {
    return fd >= 0 && ::pwrite(fd, bytes, size, 0) == static_cast<ssize_t>(size);
}

bool MappedFile::readThrough(uint8_t* bytes, std::size_t size) const {
    return fd >= 0 && ::pread(fd, bytes, size, 0) == static_cast<ssize_t>(size);
}

bool MappedFile::lockExclusive() {
    if (fd < 0) return true;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno != EWOULDBLOCK;
    }
    return true;
}

namespace {

// The one-byte range of a mark, for fcntl.
struct flock markRange(short type, uint64_t offset) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(offset);
    range.l_len = 1;
    return range;
}

bool fcntlRetried(int fd, int command, struct flock* range) {
    while (::fcntl(fd, command, range) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

bool MappedFile::markShared(uint64_t offset) {
    struct flock mark = markRange(F_RDLCK, offset);
    return fd >= 0 && fcntlRetried(fd, F_OFD_SETLK, &mark);
}

void MappedFile::clearShared(uint64_t offset) {
    struct flock mark = markRange(F_UNLCK, offset);
    if (fd >= 0) (void)fcntlRetried(fd, F_OFD_SETLK, &mark);
}

bool sharedMarkHeld(const std::string& path, uint64_t offset) {
    const int probe = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (probe < 0) return false;
    // Would an exclusive lock of the byte conflict? Only with another open's
    // mark: this one holds none.
    struct flock wanted = markRange(F_WRLCK, offset);
    const bool held = fcntlRetried(probe, F_OFD_GETLK, &wanted) && wanted.l_type != F_UNLCK;
    ::close(probe);
    return held;
}

void MappedFile::closeDescriptor() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool identifyPath(const std::string& path, FileIdentity* identity, uint64_t* size) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

}  // namespace hvr
