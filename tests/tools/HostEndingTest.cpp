// hvr-host at the end of a script or a pipe: the answers of requests already
// sent are printed before it exits, answers that never come are named, and
// the exit status says whether anything failed or went unanswered.
#include <gtest/gtest.h>

#include "E2ePaths.h"
#include "harness/ChildProcess.h"

namespace hvr::e2e {
namespace {

using std::chrono::seconds;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class HostEnding : public ::testing::Test {
protected:
    std::unique_ptr<SimProcess> startSim(std::vector<std::string> faults = {}) {
        std::vector<std::string> args{"--port", "0", "--db", dir.path() + "sim.db", "--fresh-day"};
        args.insert(args.end(), faults.begin(), faults.end());
        return std::make_unique<SimProcess>(SIM_BINARY, args, dir.path() + "sim.log");
    }
    std::vector<std::string> hostArgs(const SimProcess& sim, std::vector<std::string> extra) {
        std::vector<std::string> argv{HOST_BINARY, "--module", MODULE_PATH, "--port", std::to_string(sim.port()),
                                      "--folder", dir.path() + "flow/", "--user", "demo", "--password", "demo"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    TempDir dir;
};

TEST_F(HostEnding, APipeOrAScriptEndingRightAfterAQueryPrintsItsAnswerFirst) {
    auto sim = startSim();
    // Piped, --user connects by itself: the pipe holds the query alone.
    const ProcessResult piped = runProcess(hostArgs(*sim, {}), "funds\n", seconds(30));
    EXPECT_EQ(piped.exitCode, 0) << piped.output;
    EXPECT_TRUE(contains(piped.output, "[answer] funds:")) << piped.output;

    writeFile(dir.path() + "query.script", "connect\npositions\n");
    const ProcessResult script =
        runProcess(hostArgs(*sim, {"--script", dir.path() + "query.script"}), "", seconds(30));
    EXPECT_EQ(script.exitCode, 0) << script.output;
    EXPECT_TRUE(contains(script.output, "[answer] positions:")) << script.output;
}

TEST_F(HostEnding, AFailedExpectInAPipeFailsTheRun) {
    auto sim = startSim();
    const ProcessResult run = runProcess(hostArgs(*sim, {}), "expect pushes 1\nstatus\n", seconds(30));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "failed: expected 1 pushes, got 0")) << run.output;
    EXPECT_TRUE(contains(run.output, "connected, logged in as demo")) << run.output;  // it went on
}

TEST_F(HostEnding, AnswersThatNeverComeAreNamedAndFailTheRun) {
    // The login and its reconciliation are answered, nothing after.
    auto sim = startSim({"--mute-after", "3"});
    writeFile(dir.path() + "order.script", "connect\nbuy IF2412 1 3500\n");
    const ProcessResult run = runProcess(
        hostArgs(*sim, {"--close-wait", "300", "--script", dir.path() + "order.script"}), "", seconds(30));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "waiting up to 300 ms for 1 order answer(s)")) << run.output;
    EXPECT_TRUE(contains(run.output, "released with 1 request unanswered: 1 order (tag ")) << run.output;
}

}  // namespace
}  // namespace hvr::e2e
