// What the session log file (--log-file) holds beyond the screen's lines, in
// the manner of long-lived clients of servers (ssh -E, psql -L, irssi's
// logs): the file is appended to across runs and days, so
//   - every entry carries the local date as well as the time
//     ("2026-12-08 14:03:07.123 [event] connected"; the JSON form's "time"
//     has the date already);
//   - each session opens with a header (start time with the zone's offset,
//     version, process, system user and machine, server, trading user, the
//     command line and the settings in force) and closes with a footer
//     (end time and exit status), so a reader finds where a run begins and
//     whether it ended or was killed;
//   - commands typed at the prompt or read from a pipe are written too
//     ("> buy IF2412 1 3500"), which the screen shows only as typed;
//   - a password never reaches the file: "--password" on the command line and
//     the password of "login USER PASSWORD" read "****".
// The file is opened for appending (O_APPEND), so logrotate's copytruncate
// rotates it safely under a running host.
//
// Pure: formatting only; Console writes the results.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace hvr::cli {

struct SessionStart {
    std::string version;
    std::chrono::system_clock::time_point startedAt;
    pid_t pid = 0;
    std::string systemUser;  // who runs the host
    std::string machine;     // the host name of this machine
    std::string server;      // "127.0.0.1:4400"
    std::string user;        // the trading user of --user, empty when none
    std::vector<std::string> arguments;                        // the command line, passwords masked
    std::vector<std::pair<std::string, std::string>> settings;  // in force after --trader-config
};

// "2026-12-08 14:03:07 +0800": local date and time with the zone's offset.
std::string localDateTime(std::chrono::system_clock::time_point when);
// "2026-12-08 14:03:07.123": the stamp of an entry in the text form's file.
std::string localDateTimeMillis(std::chrono::system_clock::time_point when);

// The header's lines (text form), each ending in '\n'.
std::string sessionStartText(const SessionStart& start);
// The header as one object {"type": "session", "event": "started", ...}.
nlohmann::json sessionStartJson(const SessionStart& start);
// "==== session ended 2026-12-08 14:05:00 +0800, exit status 0\n".
std::string sessionEndText(std::chrono::system_clock::time_point when, int exitStatus);
nlohmann::json sessionEndJson(int exitStatus);

// The arguments with the value of --password (and --password=...) as "****".
std::vector<std::string> maskedArguments(const std::vector<std::string>& arguments);
// A command line as the file keeps it: "login USER PASSWORD" becomes
// "login USER ****"; anything else is unchanged.
std::string commandForLog(const std::string& line);

}  // namespace hvr::cli
