// A host process for the out-of-descriptors test. It lowers its own
// RLIMIT_NOFILE so that only HEADROOM more descriptors can be opened, makes a
// trader connect to 127.0.0.1:PORT, and reports how the first attempt ended;
// then it raises the limit again and waits for the trader to connect.
//
// Usage: descriptor_limit_child PORT HEADROOM
// Prints "first attempt: CODE" and exits 0 when the trader either connected
// at once, or reported its failed attempt as (0, code) with the closed line
// and connected on a later attempt; exits 1 otherwise.
#include <dirent.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "support/TraderSession.h"
#include "texts/LogText.h"

namespace {

// A descriptor limit under which exactly `headroom` more descriptors can be
// opened: the limit caps descriptor numbers, and the open ones may leave
// holes below it.
rlim_t limitLeaving(int headroom) {
    std::set<int> open;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') open.insert(std::atoi(entry->d_name));
        open.erase(::dirfd(dir));
        ::closedir(dir);
    }
    int number = 0;
    for (int freeBelow = 0;; ++number) {
        if (open.count(number) != 0) continue;
        if (freeBelow == headroom) break;
        ++freeBelow;
    }
    return static_cast<rlim_t>(number);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT HEADROOM\n", argv[0]);
        return 2;
    }
    using namespace hvr::test;
    TestListener listener;
    TraderHandle trader;  // the module is loaded before the limit drops
    auto config = makeConfig({"127.0.0.1", argv[1], "", ""});
    trader->init(config.get());
    trader->registerListener(&listener);

    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = limitLeaving(std::atoi(argv[2]));
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) {
        std::printf("setrlimit failed\n");
        return 1;
    }
    trader->connect();
    const bool ended = listener.waitFor([&] {
        for (const TraderEvent& e : listener.events)
            if (e.kind == 0) return true;
        return false;
    });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    if (!ended) {
        std::printf("the first attempt never ended (isConnected %d)\n", trader->isConnected() ? 1 : 0);
        return 1;
    }
    int first = 0;
    for (const TraderEvent& e : listener.eventsSnapshot()) {
        if (e.kind == 0) {
            first = e.code;
            break;
        }
    }
    std::printf("first attempt: %d\n", first);
    if (first == 0) return 0;
    if (!listener.waitForLog(hvr::LOG_CONNECTION_CLOSED) || !listener.waitForEvent(0, 0)) {
        std::printf("no closed line, or no connection once descriptors were back\n");
        return 1;
    }
    return 0;
}
