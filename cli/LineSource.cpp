#include "cli/LineSource.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace hvr::cli {

namespace {

constexpr std::size_t READ_CHUNK = 4096;

}  // namespace

WakePipe::WakePipe() {
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
}

WakePipe::~WakePipe() {
    close(fds[0]);
    close(fds[1]);
}

void WakePipe::signal() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(fds[1], &byte, 1);  // a full pipe is already awake
}

void WakePipe::drain() {
    char bytes[64];
    while (read(fds[0], bytes, sizeof bytes) > 0) {
    }
}

bool FdLineSource::readLine(std::string& line) {
    for (;;) {
        if (interrupted.load()) return false;
        const std::size_t newline = pending.find('\n');
        if (newline != std::string::npos) {
            line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            return true;
        }
        if (atEnd) {
            if (pending.empty()) return false;
            line.swap(pending);
            pending.clear();
            return true;
        }
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake.readFd(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (watched[1].revents != 0) continue;  // interrupted: checked at the top
        char bytes[READ_CHUNK];
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) atEnd = true;
        else pending.append(bytes, static_cast<std::size_t>(n));
    }
}

void FdLineSource::interrupt() {
    interrupted.store(true);
    wake.signal();
}

}  // namespace hvr::cli
