// SIGINT and SIGTERM for hvr-host: the first one ends the session cleanly
// (the command loop stops, the trader logs out and is released, the host
// exits 0); a second one ends the process at once.
//
// Construct it on the main thread before any other thread starts: it blocks
// the signals in the calling thread, every thread started later inherits
// that mask, and one thread of its own takes them with sigwait. The callback
// runs on that thread.
#pragma once

#include <functional>
#include <thread>

namespace hvr::cli {

class SignalWatcher {
public:
    // Exit status of the process when a second signal arrives.
    static constexpr int EXIT_ON_SECOND_SIGNAL = 130;

    explicit SignalWatcher(std::function<void(int signal)> onFirstSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void run();

    std::function<void(int)> onFirstSignal;
    std::thread watcher;
};

}  // namespace hvr::cli
