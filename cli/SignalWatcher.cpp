#include "cli/SignalWatcher.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

namespace hvr::cli {

namespace {

// SIGUSR2 only tells the watcher thread to end (sent by the destructor).
constexpr int STOP_SIGNAL = SIGUSR2;

sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, STOP_SIGNAL);
    return set;
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onFirstSignal) : onFirstSignal(std::move(onFirstSignal)) {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    watcher = std::thread([this] { run(); });
}

SignalWatcher::~SignalWatcher() {
    pthread_kill(watcher.native_handle(), STOP_SIGNAL);
    watcher.join();
}

void SignalWatcher::run() {
    const sigset_t set = watchedSignals();
    bool seen = false;
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal == STOP_SIGNAL) return;
        if (seen) _exit(EXIT_ON_SECOND_SIGNAL);
        seen = true;
        onFirstSignal(signal);
    }
}

}  // namespace hvr::cli
