#include "cli/CommandLoop.h"

#include "cli/CommandParser.h"

namespace hvr::cli {

namespace {

std::string location(const std::string& sourceName, std::size_t index) {
    return sourceName + ":" + std::to_string(index + 1) + ": ";
}

}  // namespace

std::string checkScript(const std::vector<std::string>& lines, const std::string& sourceName) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ParsedCommand parsed = parseCommand(lines[i]);
        if (!parsed.command) return location(sourceName, i) + parsed.error;
    }
    return {};
}

LoopResult runScript(const std::vector<std::string>& lines, const std::string& sourceName, CommandRunner& runner,
                     Console& console, const tools::SessionCore& state) {
    const std::string wrong = checkScript(lines, sourceName);
    if (!wrong.empty()) {
        console.error("error: " + wrong + " (nothing was run)");
        return LoopResult::Failed;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (state.interrupted()) return LoopResult::Interrupted;
        const Command command = *parseCommand(lines[i]).command;
        if (command.kind == CommandKind::Empty) continue;
        console.command(lines[i]);
        const Outcome outcome = runner.execute(command);
        if (state.interrupted()) return LoopResult::Interrupted;
        if (outcome.kind == Outcome::Quit) return LoopResult::Finished;
        if (outcome.kind == Outcome::Failed) {
            console.error("failed: " + location(sourceName, i) + outcome.message);
            return LoopResult::Failed;
        }
    }
    return LoopResult::Finished;
}

LoopResult runInteractive(LineSource& input, CommandRunner& runner, Console& console, const tools::SessionCore& state,
                          bool failuresCount) {
    bool anyFailed = false;
    const auto finished = [&] { return failuresCount && anyFailed ? LoopResult::Failed : LoopResult::Finished; };
    std::string line;
    while (input.readLine(line)) {
        if (state.interrupted()) return LoopResult::Interrupted;
        if (line.find_first_not_of(" \t\r") != std::string::npos) console.typed(line);
        const ParsedCommand parsed = parseCommand(line);
        if (!parsed.command) {
            console.error("error: " + parsed.error);
            anyFailed = true;
            continue;
        }
        const Outcome outcome = runner.execute(*parsed.command);
        if (state.interrupted()) return LoopResult::Interrupted;
        if (outcome.kind == Outcome::Quit) return finished();
        if (outcome.kind == Outcome::Failed) {
            console.error("failed: " + outcome.message);
            anyFailed = true;
        }
    }
    return state.interrupted() ? LoopResult::Interrupted : finished();
}

}  // namespace hvr::cli
