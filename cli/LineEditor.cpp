#include "cli/LineEditor.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
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

// The editor inside readLine, for the character reader below.
LineEditor* activeEditor = nullptr;

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
    // A description of the terminal of its own, so that reading it without
    // blocking leaves standard input (shared with the shell) as it is.
    if (const char* name = ttyname(STDIN_FILENO)) terminalFd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    rl_getc_function = readCharacter;  // before libedit initialises: it takes the reader then
    rl_catch_signals = 0;  // SIGINT and SIGTERM belong to the host (SignalWatcher)
    rl_attempted_completion_function = completeCommand;
    using_history();
    if (!this->historyPath.empty()) read_history(this->historyPath.c_str());
    console.setWriter([this](const std::string& text) { writeFromConsole(text); });
}

LineEditor::~LineEditor() {
    console.setWriter(nullptr);
    if (terminalFd >= 0) close(terminalFd);
    if (!historyPath.empty()) write_history(historyPath.c_str());
}

std::string LineEditor::defaultHistoryPath() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return {};
    return std::string(home) + "/.hvr_host_history";
}

// libedit reads each character through this function. It is the editor's
// only wait: it polls the terminal and the wake pipe, prints console lines
// queued meanwhile, and gives up (end of input) once interrupted. Reading a
// descriptor of its own that does not block matters for Ctrl-C: the terminal
// flushes its input queue when it sends SIGINT, so a byte that poll saw may
// be gone by the time it is read, and a blocking read would then wait for a
// key the operator never presses.
int LineEditor::readCharacter(FILE*) {
    LineEditor* editor = activeEditor;
    if (editor == nullptr) return EOF;
    return editor->nextCharacter();
}

int LineEditor::nextCharacter() {
    const int fd = terminalFd >= 0 ? terminalFd : STDIN_FILENO;
    for (;;) {
        if (interrupted.load()) return EOF;
        unsigned char byte = 0;
        const ssize_t n = read(fd, &byte, 1);
        if (n == 1) return byte;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            inputEnded = true;  // the terminal went away
            return EOF;
        }
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake.readFd(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 && errno != EINTR) {
            inputEnded = true;
            return EOF;
        }
        if (watched[1].revents != 0) {
            wake.drain();
            printQueued();
        }
    }
}

bool LineEditor::readLine(std::string& line) {
    if (interrupted.load()) return false;
    lineArrived = false;
    inputEnded = false;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        editing = true;
    }
    activeEditor = this;
    rl_callback_handler_install(prompt.c_str(), onLine);
    printQueued();
    while (!lineArrived && !interrupted.load() && !inputEnded) rl_callback_read_char();
    rl_callback_handler_remove();
    activeEditor = nullptr;
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

std::optional<std::string> LineEditor::readPassword(const std::string& promptText) {
    if (interrupted.load()) return std::nullopt;
    const int fd = terminalFd >= 0 ? terminalFd : STDIN_FILENO;
    termios saved{};
    const bool isTerminal = ::tcgetattr(fd, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ICANON;  // the terminal keeps the line until Enter
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    {
        std::lock_guard<std::mutex> guard(queueLock);
        passwordPrompt = promptText;
        out << promptText << std::flush;
    }
    std::string password;
    bool gotLine = false;
    while (!gotLine && !interrupted.load()) {
        char chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            for (ssize_t i = 0; i < n && !gotLine; ++i) {
                if (chunk[i] == '\n' || chunk[i] == '\r') gotLine = true;
                else password += chunk[i];
            }
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake.readFd(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) break;
        if (watched[1].revents != 0) {
            wake.drain();
            printQueued();
        }
    }
    if (isTerminal) ::tcsetattr(fd, TCSANOW, &saved);
    {
        std::lock_guard<std::mutex> guard(queueLock);
        passwordPrompt.clear();
        out << "\n" << std::flush;
    }
    printQueued();
    if (!gotLine) return std::nullopt;
    return password;
}

void LineEditor::interrupt() {
    interrupted.store(true);
    wake.signal();
}

void LineEditor::writeFromConsole(const std::string& text) {
    std::lock_guard<std::mutex> guard(queueLock);
    if (!editing && passwordPrompt.empty()) {
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
    const bool prompting = editing || !passwordPrompt.empty();
    if (prompting) out << CLEAR_LINE;
    for (const std::string& text : queued) out << text;
    queued.clear();
    if (!passwordPrompt.empty()) out << passwordPrompt;  // drawn again; the typed password stays hidden
    out << std::flush;
    if (editing) rl_forced_update_display();
}

}  // namespace hvr::cli
