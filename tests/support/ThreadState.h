// The scheduling state of one of this process's threads, for tests that
// wait until a host thread is blocked ('S': asleep, in a wait for a lock, a
// join or a future).
#pragma once

#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <string>

namespace hvr::test {

inline char threadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');  // the state follows the thread's name
    return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : '?';
}

}  // namespace hvr::test
