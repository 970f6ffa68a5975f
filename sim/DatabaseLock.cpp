#include "DatabaseLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace hvr::sim {

namespace {

constexpr std::chrono::milliseconds POLL_INTERVAL{50};

std::string ownerOf(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    return pid.empty() ? std::string("another process") : "process " + pid;
}

}  // namespace

DatabaseLock::DatabaseLock(const std::string& dbPath, std::chrono::milliseconds wait) {
    const std::string path = lockFileOf(dbPath);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot open the lock file \"" + path + "\": " + std::strerror(errno));

    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            ::close(fd_);
            throw std::runtime_error("cannot lock \"" + path + "\": " + std::strerror(error));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            const std::string owner = ownerOf(fd_);
            ::close(fd_);
            throw DatabaseInUse("database \"" + dbPath + "\" is in use by " + owner +
                                " (lock file \"" + path + "\"); stop that server or use another --db");
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The pid is only for the message a second server prints; the lock holds without it.
    }
}

DatabaseLock::~DatabaseLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace hvr::sim
