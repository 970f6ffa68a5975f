// A few file descriptors held open (on /dev/null) so that the process is
// never completely out of them while it handles running out. When accept
// fails for lack of descriptors, the server lets the reserve go for the
// moment it logs the failure: a log file rotating just then can open its new
// file, and whatever the error path itself needs is there. (One such need:
// the sanitizer runtime's check of a virtual call, made the first time the
// error category's message() runs, opens a pipe; with no descriptor left it
// fails and reports a sound vptr as invalid.)
//
// Threads: one owner thread; release() and refill() are cheap system calls.
#pragma once

#include <vector>

namespace hvr::sim {

class DescriptorReserve {
public:
    static constexpr int DEFAULT_COUNT = 4;

    explicit DescriptorReserve(int count = DEFAULT_COUNT);
    ~DescriptorReserve();
    DescriptorReserve(const DescriptorReserve&) = delete;
    DescriptorReserve& operator=(const DescriptorReserve&) = delete;

    // Closes the held descriptors.
    void release();
    // Opens descriptors again up to the count, as far as the process can.
    void refill();

    // Releases the reserve for the duration of f() and refills it after.
    template <typename F>
    void whileReleased(F&& f) {
        release();
        f();
        refill();
    }

private:
    int count_;
    std::vector<int> held_;
};

}  // namespace hvr::sim
