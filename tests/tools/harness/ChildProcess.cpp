#include "harness/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace hvr::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// argv as execv takes it, made before fork: a child of a threaded process
// must not allocate before exec (another thread may have held the
// allocator's lock at the fork).
std::vector<char*> rawArgv(const std::vector<std::string>& argv) {
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    return raw;
}

// Execs raw in the child; never returns.
[[noreturn]] void execChild(const std::vector<char*>& raw) {
    execv(raw[0], raw.data());
    std::fprintf(stderr, "exec %s: %s\n", raw[0], std::strerror(errno));
    _exit(127);
}

int statusToExitCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

SimProcess::SimProcess(const std::string& binary, std::vector<std::string> args, const std::string& logPath) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argv{binary, "--listen", "127.0.0.1"};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<char*> raw = rawArgv(argv);
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) dup2(log, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execChild(raw);
    }
    close(out[1]);
    stdoutFd = out[0];

    // The first stdout line: "hvr-sim listening on 127.0.0.1:PORT".
    std::string line;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (line.empty() || line.back() != '\n') {
        pollfd p{stdoutFd, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) break;
        char c;
        if (read(stdoutFd, &c, 1) != 1) break;
        line += c;
    }
    const std::string prefix = "hvr-sim listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        stop();
        throw std::runtime_error("hvr-sim did not start; its first line was '" + line + "' (log: " + logPath + ")");
    }
    listenPort = static_cast<uint16_t>(std::atoi(line.c_str() + prefix.size()));
}

SimProcess::~SimProcess() { stop(); }

bool SimProcess::running() {
    if (pid <= 0) return false;
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

int SimProcess::stop(int signal) {
    int code = -1;
    if (pid > 0) {
        kill(pid, signal);
        int status = 0;
        if (waitpid(pid, &status, 0) == pid) code = statusToExitCode(status);
        pid = -1;
    }
    if (stdoutFd >= 0) {
        close(stdoutFd);
        stdoutFd = -1;
    }
    return code;
}

RunningProcess::RunningProcess(const std::vector<std::string>& argv, const std::string& stdinText, Input input) {
    signal(SIGPIPE, SIG_IGN);  // a child that exits early must not kill the test with its stdin
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    const std::vector<char*> raw = rawArgv(argv);
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        execChild(raw);
    }
    close(in[0]);
    close(out[1]);
    outFd = out[0];
    // Test inputs are a few lines, well below the pipe's capacity.
    inFd = in[1];
    sendInput(stdinText);
    if (input == Input::Close) closeInput();
}

RunningProcess::~RunningProcess() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    closeInput();
    if (outFd >= 0) close(outFd);
}

void RunningProcess::sendInput(const std::string& text) {
    if (inFd >= 0 && !text.empty() && write(inFd, text.data(), text.size()) < 0) {
        // The child exited already; its output tells why.
    }
}

void RunningProcess::closeInput() {
    if (inFd >= 0) close(inFd);
    inFd = -1;
}

void RunningProcess::sendSignal(int signal) {
    if (pid > 0) kill(pid, signal);
}

TerminalProcess::TerminalProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = 200;  // wide enough that no prompt line wraps
    // The child's environment: ours with env's entries put over it.
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& mine : env) replaced = replaced || mine.rfind(name, 0) == 0;
        if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    const std::vector<char*> raw = rawArgv(argv);
    std::vector<char*> rawEnv = rawArgv(entries);
    pid = forkpty(&masterFd, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        environ = rawEnv.data();
        execChild(raw);
    }
}

TerminalProcess::~TerminalProcess() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (masterFd >= 0) close(masterFd);
}

void TerminalProcess::type(const std::string& keys) {
    if (write(masterFd, keys.data(), keys.size()) < 0) {
        // The child exited already; its output tells why.
    }
}

bool TerminalProcess::readSome(Clock::time_point deadline) {
    pollfd p{masterFd, POLLIN, 0};
    if (poll(&p, 1, remainingMs(deadline)) == 0) return true;  // nothing yet
    char buffer[4096];
    const ssize_t n = read(masterFd, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO once the child closed the terminal
    collected.output.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool TerminalProcess::waitForOutput(const std::string& text, std::chrono::seconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const std::size_t at = collected.output.find(text, searchFrom);
        if (at != std::string::npos) {
            searchFrom = at + text.size();
            return true;
        }
        if (Clock::now() >= deadline || !readSome(deadline)) return false;
    }
}

ProcessResult TerminalProcess::finish(std::chrono::seconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (readSome(deadline)) {
        if (Clock::now() >= deadline) {
            collected.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    collected.exitCode = statusToExitCode(status);
    return collected;
}

bool RunningProcess::readSome(Clock::time_point deadline) {
    pollfd p{outFd, POLLIN, 0};
    if (poll(&p, 1, remainingMs(deadline)) == 0) return true;  // nothing yet
    char buffer[4096];
    const ssize_t n = read(outFd, buffer, sizeof buffer);
    if (n <= 0) return false;
    collected.output.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool RunningProcess::waitForOutput(const std::string& text, std::chrono::seconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (collected.output.find(text) == std::string::npos) {
        if (Clock::now() >= deadline || !readSome(deadline)) return collected.output.find(text) != std::string::npos;
    }
    return true;
}

ProcessResult RunningProcess::finish(std::chrono::seconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (readSome(deadline)) {
        if (Clock::now() >= deadline) {
            collected.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    collected.exitCode = statusToExitCode(status);
    return collected;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& stdinText,
                         std::chrono::seconds timeout) {
    RunningProcess process(argv, stdinText);
    return process.finish(timeout);
}

uint16_t unusedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot bind a loopback port");
    close(fd);
    return ntohs(address.sin_port);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hvr-tools-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern + "/";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace hvr::e2e
