#include "port/MappedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace hvr {

namespace {

bool failWith(std::string* reason, const std::string& text) {
    if (reason != nullptr) *reason = text;
    return false;
}

}  // namespace

bool MappedFile::open(const std::string& name, std::string* reason) {
    close();
    if (::access(name.c_str(), F_OK) != 0) return failWith(reason, std::generic_category().message(errno));
    try {
        auto newMapping = std::make_unique<boost::interprocess::file_mapping>(
            name.c_str(), boost::interprocess::read_write);
        auto newRegion = std::make_unique<boost::interprocess::mapped_region>(
            *newMapping, boost::interprocess::read_write);
        mapping = std::move(newMapping);
        region = std::move(newRegion);
        view = static_cast<uint8_t*>(region->get_address());
    } catch (const boost::interprocess::interprocess_exception& e) {
        // Read-only, locked, empty, or not a regular file: no mapping.
        return failWith(reason, e.what());
    }
    const int fd = descriptor();
    // Not handed to programs the host starts: their copy would hold the
    // advisory lock after we let go of it.
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    struct stat st;
    mappedIdentity = ::fstat(fd, &st) == 0
                         ? FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}
                         : FileIdentity{};
    guard.watch(view);
    return true;
}

void MappedFile::close() {
    guard.unwatch();  // before the page goes
    view = nullptr;
    region.reset();
    mapping.reset();
    mappedIdentity = FileIdentity{};
}

std::size_t MappedFile::size() const { return region ? region->get_size() : 0; }

int MappedFile::descriptor() const { return mapping ? mapping->get_mapping_handle().handle : -1; }

bool MappedFile::writeThrough(const uint8_t* bytes, std::size_t size) const {
    const int fd = descriptor();
    return fd >= 0 && ::pwrite(fd, bytes, size, 0) == static_cast<ssize_t>(size);
}

bool MappedFile::lockExclusive() {
    const int fd = descriptor();
    if (fd < 0) return true;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno != EWOULDBLOCK;
    }
    return true;
}

void MappedFile::closeDescriptor() { mapping.reset(); }

bool identifyPath(const std::string& path, FileIdentity* identity, uint64_t* size) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

}  // namespace hvr
