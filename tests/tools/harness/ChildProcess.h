// Child processes for the end-to-end tests: the simulator, kept running while
// a test talks to it, and the command-line host, run to completion.
//
// Threads: each object is used by the one test thread that made it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hvr::e2e {

// hvr-sim as a child process on a loopback port. The constructor returns once
// the simulator printed its "listening" line; the destructor stops it.
class SimProcess {
public:
    // Starts binary with args plus "--listen 127.0.0.1"; stderr goes to
    // logPath. Throws std::runtime_error when it does not come up in 10 s.
    SimProcess(const std::string& binary, std::vector<std::string> args, const std::string& logPath);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    uint16_t port() const { return listenPort; }
    bool running();
    // Sends the signal (SIGTERM: a clean stop, SIGKILL: a crash), then waits;
    // returns the exit status (128 + signal when killed).
    int stop(int signal = 15);

private:
    pid_t pid = -1;
    int stdoutFd = -1;
    uint16_t listenPort = 0;
};

struct ProcessResult {
    int exitCode = -1;   // 128 + signal when killed
    std::string output;  // stdout and stderr together
    bool timedOut = false;
};

// A child whose output a test reads while it runs; stdout and stderr are
// read together. The destructor kills it if it still runs.
class RunningProcess {
public:
    enum class Input { Close, KeepOpen };
    // Starts argv[0] with the arguments and feeds stdinText; stdin is closed
    // after it unless input is KeepOpen (then sendInput and closeInput).
    RunningProcess(const std::vector<std::string>& argv, const std::string& stdinText, Input input = Input::Close);
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    // Reads output until it contains text; false when the child ended or
    // the timeout passed first.
    bool waitForOutput(const std::string& text, std::chrono::seconds timeout);
    // Reads the rest of the output and waits for the exit; kills the child
    // when the timeout passes first.
    ProcessResult finish(std::chrono::seconds timeout);
    const std::string& output() const { return collected.output; }

    void sendInput(const std::string& text);
    void closeInput();
    void sendSignal(int signal);

private:
    // Reads what is there within the deadline; false at the end of output.
    bool readSome(std::chrono::steady_clock::time_point deadline);

    pid_t pid = -1;
    int inFd = -1;
    int outFd = -1;
    ProcessResult collected;
};

// Runs argv[0] with the arguments, feeds stdinText and closes stdin, and
// collects the output until the process ends or the timeout kills it.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& stdinText,
                         std::chrono::seconds timeout);

// A child on a pseudo-terminal, for what a program does only on a terminal
// (prompt, line editing). Output is read from the terminal's master side.
// The destructor kills it if it still runs.
class TerminalProcess {
public:
    // env entries ("HOME=/tmp/x") are added to the child's environment.
    TerminalProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env);
    ~TerminalProcess();
    TerminalProcess(const TerminalProcess&) = delete;
    TerminalProcess& operator=(const TerminalProcess&) = delete;

    // Types bytes as the keyboard would ("\t" tab, "\x04" Ctrl-D).
    void type(const std::string& keys);
    // Reads until the output since the last call holds text; false on
    // timeout or end of output.
    bool waitForOutput(const std::string& text, std::chrono::seconds timeout);
    // Reads to the end and waits for the exit (killed after the timeout).
    ProcessResult finish(std::chrono::seconds timeout);
    const std::string& output() const { return collected.output; }

private:
    bool readSome(std::chrono::steady_clock::time_point deadline);

    pid_t pid = -1;
    int masterFd = -1;
    std::size_t searchFrom = 0;
    ProcessResult collected;
};

// A loopback port on which nothing listens (bound, read and closed again).
uint16_t unusedLoopbackPort();

// A fresh directory under the test temp dir, removed with everything in it
// when the object goes away. path() ends with '/'.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }

private:
    std::string dir;
};

// Writes text to a file; throws when it cannot.
void writeFile(const std::string& path, const std::string& text);

}  // namespace hvr::e2e
