#include "SimChild.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace hvr::soak {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

SimChild::SimChild(std::string binary, std::string db, std::string config, std::string log, std::string journal)
    : binary(std::move(binary)),
      db(std::move(db)),
      config(std::move(config)),
      log(std::move(log)),
      journal(std::move(journal)) {}

SimChild::~SimChild() {
    kill9();
}

bool SimChild::start(uint16_t port, const std::vector<std::string>& flags, uint32_t newDay, std::string& why) {
    kill9();
    // A login may come late on purpose (a stalled server, a listener that
    // holds the network thread): the server's login deadline must not end
    // such a connection, or requests would be lost that the soak cannot
    // tell from the adapter's.
    std::vector<std::string> args{binary,   "--listen", "127.0.0.1", "--port",
                                  std::to_string(port), "--db", db, "--config",
                                  config,   "--request-journal", journal, "--login-timeout",
                                  "3600"};
    if (newDay != 0) {
        args.push_back("--fresh-day");
        args.push_back("--trading-date");
        args.push_back(std::to_string(newDay));
    }
    args.insert(args.end(), standingFlags.begin(), standingFlags.end());
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) {
        why = "pipe failed";
        return false;
    }
    const pid_t parent = getpid();
    const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        if (logFd >= 0) dup2(logFd, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (logFd >= 0) close(logFd);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        why = "fork failed";
        return false;
    }
    stdoutFd = out[0];

    // Its one stdout line: "hvr-sim listening on 127.0.0.1:PORT".
    std::string line;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (line.empty() || line.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{stdoutFd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char c;
        if (read(stdoutFd, &c, 1) != 1) break;
        line += c;
    }
    const std::string prefix = "hvr-sim listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        why =
            "hvr-sim did not come up on port " + std::to_string(port) + " (first line '" + line + "', log " + log + ")";
        kill9();
        return false;
    }
    listenPort = static_cast<uint16_t>(std::atoi(line.c_str() + prefix.size()));
    currentFlags = flags;
    return true;
}

void SimChild::letGoNextHeld() {
    if (pid > 0) kill(pid, SIGUSR2);
}

void SimChild::freeze() {
    if (pid <= 0) return;
    kill(pid, SIGSTOP);
    // Until the stop has taken effect it may still be inside a read.
    int status = 0;
    while (waitpid(pid, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
}

void SimChild::thaw() {
    if (pid > 0) kill(pid, SIGCONT);
}

void SimChild::kill9() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    if (stdoutFd >= 0) {
        close(stdoutFd);
        stdoutFd = -1;
    }
}

}  // namespace hvr::soak
