#include "cli/CommandLoop.h"

#include <iostream>

#include "cli/CommandParser.h"

namespace hvr::cli {

LoopResult runCommandLoop(std::istream& in, const LoopMode& mode, CommandRunner& runner, Console& console) {
    std::string line;
    int lineNumber = 0;
    for (;;) {
        if (mode.prompt) {
            std::cout << "hvr> " << std::flush;
        }
        if (!std::getline(in, line)) return LoopResult::Finished;
        ++lineNumber;
        const std::string where = mode.script ? mode.sourceName + ":" + std::to_string(lineNumber) + ": " : "";
        const ParsedCommand parsed = parseCommand(line);
        if (!parsed.command) {
            console.print("error: " + where + parsed.error);
            if (mode.script) return LoopResult::Failed;
            continue;
        }
        if (mode.script && parsed.command->kind != CommandKind::Empty) console.print("> " + line);
        const Outcome outcome = runner.execute(*parsed.command);
        if (outcome.kind == Outcome::Quit) return LoopResult::Finished;
        if (outcome.kind == Outcome::Failed) {
            console.print("failed: " + where + outcome.message);
            if (mode.script) return LoopResult::Failed;
        }
    }
}

}  // namespace hvr::cli
