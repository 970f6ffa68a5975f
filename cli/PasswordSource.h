// Where a password comes from when it is not on the command line, where
// anyone can read it (ps, the shell's history): the environment variable
// HVR_PASSWORD, or a prompt on the terminal that does not echo what is typed.
#pragma once

#include <optional>
#include <string>

namespace hvr::cli {

// The name of the environment variable.
inline constexpr char PASSWORD_VARIABLE[] = "HVR_PASSWORD";

// HVR_PASSWORD when it is set (also when empty: an empty password is one).
std::optional<std::string> passwordFromEnvironment();

// Asks on the controlling terminal (/dev/tty) with echo off, "PROMPT" first;
// none when there is no terminal or reading fails. Main thread only.
std::optional<std::string> promptPassword(const std::string& prompt);

// The environment's password, else the terminal's; none when neither gives one.
std::optional<std::string> passwordFor(const std::string& user);

}  // namespace hvr::cli
