// The host's output: whole lines written under one lock and flushed at once,
// so lines from the network thread and the main thread never interleave and
// a process reading the host's output sees each event when it happens.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

namespace hvr::cli {

class Console {
public:
    // The stream must outlive the console.
    explicit Console(std::ostream& out) : out(out) {}

    // Writes text and a newline if text does not end with one.
    void print(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        out << text;
        if (text.empty() || text.back() != '\n') out << '\n';
        out.flush();
    }

private:
    std::mutex lock;
    std::ostream& out;
};

}  // namespace hvr::cli
