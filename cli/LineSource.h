// Where the interactive command loop reads its lines from: a pipe or file on
// a descriptor (FdLineSource), or the terminal through the line editor
// (LineEditor). interrupt() makes a blocked or later readLine return false,
// so that a signal ends the loop even while it waits for input.
//
// Threads: readLine on the main thread only; interrupt from any thread.
#pragma once

#include <atomic>
#include <string>

namespace hvr::cli {

class LineSource {
public:
    virtual ~LineSource() = default;
    // The next line without its newline; false at the end of input or after
    // interrupt().
    virtual bool readLine(std::string& line) = 0;
    virtual void interrupt() = 0;
};

// A self-pipe that wakes a poll() from another thread. Async-signal-safe to
// signal.
class WakePipe {
public:
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    int readFd() const { return fds[0]; }
    void signal();
    void drain();

private:
    int fds[2] = {-1, -1};
};

// Lines from a descriptor (standard input when it is not a terminal), read
// with poll so that interrupt() wakes it.
class FdLineSource final : public LineSource {
public:
    explicit FdLineSource(int fd) : fd(fd) {}
    bool readLine(std::string& line) override;
    void interrupt() override;

private:
    const int fd;
    std::string pending;  // bytes read past the last returned line
    bool atEnd = false;
    std::atomic<bool> interrupted{false};
    WakePipe wake;
};

}  // namespace hvr::cli
