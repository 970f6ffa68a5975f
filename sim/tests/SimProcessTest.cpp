// The hvr-sim binary as scripts use it: the startup line on stdout, the port
// file, exit 0 on SIGTERM, exit 2 on bad flags.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestClient.h"

namespace hvr::sim::testing {
namespace {

struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;  // the child's stdout
};

Child spawn(std::vector<std::string> args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    args.insert(args.begin(), HVR_SIM_BINARY);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return Child{pid, fdopen(pipeFds[0], "r")};
}

int exitCodeOf(Child& child) {
    int status = 0;
    waitpid(child.pid, &status, 0);
    fclose(child.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimProcess, AnnouncesItsPortServesAndExitsZeroOnSigterm) {
    TempDir dir;
    Child child = spawn({"--db", dir.file("p.db"), "--fresh-day", "--port-file", dir.file("port")});
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, child.out), nullptr);
    const std::string text(line);
    const std::string prefix = "hvr-sim listening on 127.0.0.1:";
    ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
    const int port = std::stoi(text.substr(prefix.size()));
    EXPECT_EQ(text.back(), '\n');

    std::ifstream portFile(dir.file("port"));
    int filed = 0;
    portFile >> filed;
    EXPECT_EQ(filed, port);

    TestClient client(static_cast<uint16_t>(port));
    EXPECT_EQ(client.login("demo", "demo").result(), 0);

    kill(child.pid, SIGTERM);
    EXPECT_EQ(exitCodeOf(child), 0);
}

TEST(SimProcess, BadFlagsExitWithCodeTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--listen", "0.0.0.0"}, {"--bogus"}, {"--trading-date", "20241399"}}) {
        Child child = spawn(args);
        EXPECT_EQ(exitCodeOf(child), 2) << args.front();
    }
}

}  // namespace
}  // namespace hvr::sim::testing
