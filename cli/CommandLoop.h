// Reads commands line by line and hands them to the runner.
//
// Script mode echoes each command ("> buy IF2412 1 3500") so the transcript
// shows what caused each event, and stops at the first wrong line or failed
// command. Interactive mode prompts when the input is a terminal, prints what
// is wrong and goes on.
#pragma once

#include <istream>
#include <string>

#include "cli/CommandRunner.h"
#include "cli/Console.h"

namespace hvr::cli {

struct LoopMode {
    bool script = false;
    std::string sourceName;  // for messages: "demo.script:12: ..."
    bool prompt = false;     // print "hvr> " before reading (interactive on a terminal)
};

enum class LoopResult { Finished, Failed };

LoopResult runCommandLoop(std::istream& in, const LoopMode& mode, CommandRunner& runner, Console& console);

}  // namespace hvr::cli
