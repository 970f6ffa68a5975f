// Turns one line of text into a Command, or into a message that says what is
// wrong with it in plain words. Pure: no I/O, no session state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/Command.h"

namespace hvr::cli {

struct ParsedCommand {
    std::optional<Command> command;  // set when the line is valid
    std::string error;               // set otherwise, e.g. "unknown command 'byu' (type help for the list)"
};

// Words are separated by blanks; '#' starts a comment. Command names are
// case-insensitive; codes, users and passwords are kept as typed.
ParsedCommand parseCommand(std::string_view line);

// The command list shown by "help".
const char* helpText();

}  // namespace hvr::cli
