// Runs commands from a script or from the operator.
//
// A script is read and checked whole before its first command runs: a wrong
// line stops it with its number before anything is sent. Each command is
// echoed ("> buy IF2412 1 3500") so the transcript shows what caused each
// event, and the first failed command stops the script.
//
// Interactively, wrong and failed commands are explained and the loop goes
// on until quit, the end of input or an interrupt. Each line typed (or read
// from a pipe) goes to the session log file. Reading a pipe, the loop
// goes on the same way but reports Failed at its end when any line was wrong
// or failed, so that a pipeline sees the failure in the exit status.
//
// Both loops stop after the current command once the session state is
// interrupted (a signal), and report Interrupted.
#pragma once

#include <string>
#include <vector>

#include "cli/CommandRunner.h"
#include "cli/Console.h"
#include "cli/LineSource.h"
#include "common/SessionCore.h"

namespace hvr::cli {

enum class LoopResult { Finished, Failed, Interrupted };

// sourceName names the script in messages: "demo.script:12: ...".
LoopResult runScript(const std::vector<std::string>& lines, const std::string& sourceName, CommandRunner& runner,
                     Console& console, const tools::SessionCore& core);

// failuresCount: a wrong or failed line makes the result Failed (a pipe).
LoopResult runInteractive(LineSource& input, CommandRunner& runner, Console& console, const tools::SessionCore& core,
                          bool failuresCount);

// The first wrong line of a script as "NAME:LINE: reason"; empty when every
// line parses.
std::string checkScript(const std::vector<std::string>& lines, const std::string& sourceName);

}  // namespace hvr::cli
