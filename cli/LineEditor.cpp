#include "cli/LineEditor.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

// libedit's readline-compatible interface (editline/readline.h).
#include <editline/readline.h>

namespace hvr::cli {

namespace {

// libedit keeps one global state, so the callbacks below reach the editor's
// data through these (main thread only).
std::vector<std::string> completionWords;
std::optional<std::string> completedLine;
bool lineArrived = false;

// Erases the input line before printing above it ("\r" then erase to the end).
constexpr char CLEAR_LINE[] = "\r\033[K";

char* nextCompletion(const char* prefix, int state) {
    static std::size_t index = 0;
    if (state == 0) index = 0;
    const std::size_t length = std::strlen(prefix);
    while (index < completionWords.size()) {
        const std::string& word = completionWords[index++];
        if (word.compare(0, length, prefix) == 0) return strdup(word.c_str());
    }
    return nullptr;
}

// Completes command names at the start of the line only.
char** completeCommand(const char* text, int start, int) {
    rl_attempted_completion_over = 1;
    if (start != 0) return nullptr;
    return rl_completion_matches(text, nextCompletion);
}

void onLine(char* line) {
    lineArrived = true;
    if (line == nullptr) {
        completedLine.reset();
        return;
    }
    completedLine = std::string(line);
    std::free(line);
}

}  // namespace

LineEditor::LineEditor(Console& console, std::ostream& out, std::string prompt, std::string historyPath,
                       std::vector<std::string> completions)
    : console(console), out(out), prompt(std::move(prompt)), historyPath(std::move(historyPath)) {
    completionWords = std::move(completions);
    rl_catch_signals = 0;  // SIGINT and SIGTERM belong to the host (SignalWatcher)
    rl_attempted_completion_function = completeCommand;
    using_history();
    if (!this->historyPath.empty()) read_history(this->historyPath.c_str());
    console.setWriter([this](const std::string& text) { writeFromConsole(text); });
}

LineEditor::~LineEditor() {
    console.setWriter(nullptr);
    if (!historyPath.empty()) write_history(historyPath.c_str());
}

std::string LineEditor::defaultHistoryPath() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return {};
    return std::string(home) + "/.hvr_host_history";
}

bool LineEditor::readLine(std::string& line) {
    if (interrupted.load()) return false;
    lineArrived = false;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        editing = true;
    }
    rl_callback_handler_install(prompt.c_str(), onLine);
    printQueued();
    while (!lineArrived && !interrupted.load()) {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {wake.readFd(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents != 0) {
            wake.drain();
            printQueued();
        }
        if (watched[0].revents & (POLLIN | POLLHUP)) rl_callback_read_char();
        if (watched[0].revents & (POLLERR | POLLNVAL)) break;
    }
    rl_callback_handler_remove();
    {
        std::lock_guard<std::mutex> guard(queueLock);
        editing = false;
    }
    printQueued();  // what arrived after the last redraw
    if (!lineArrived || !completedLine) {
        if (!interrupted.load()) out << "\n" << std::flush;  // end the prompt's line after Ctrl-D
        return false;
    }
    line = *completedLine;
    if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
    return true;
}

void LineEditor::interrupt() {
    interrupted.store(true);
    wake.signal();
}

void LineEditor::writeFromConsole(const std::string& text) {
    std::lock_guard<std::mutex> guard(queueLock);
    if (!editing) {
        out << text << std::flush;
        return;
    }
    queued.push_back(text);
    wake.signal();
}

void LineEditor::printQueued() {
    // Held while printing, so that a console line written directly once
    // editing ended never overtakes the queued ones.
    std::lock_guard<std::mutex> guard(queueLock);
    if (queued.empty()) return;
    if (editing) out << CLEAR_LINE;
    for (const std::string& text : queued) out << text;
    queued.clear();
    out << std::flush;
    if (editing) rl_forced_update_display();
}

}  // namespace hvr::cli
