// The host's output. Two forms:
//   text  lines for a reader; every entry (event, answer, push, log line,
//         note, error, script command) starts with the local time
//         "HH:MM:SS.mmm "; the further lines of a table or a long note
//         follow it unstamped;
//   json  one JSON object per line for everything printed (--json), each
//         with "type" and "time" (ISO 8601 with the zone's offset,
//         "2026-12-08T14:03:07.123+08:00"), so that a script can consume a
//         session.
//
// A session log file (--log-file) gets every line the screen gets, in the
// same form, and what an operator reading it later needs besides
// (SessionLog.h): the date on every text entry, a header and a footer per
// session, the commands typed, no passwords.
//
// Whole lines are written under one lock and flushed at once, so lines from
// the network thread and the main thread never interleave and a process
// reading the output sees each event when it happens. While a line editor
// owns the terminal, lines go through its redraw hook instead (LineEditor).
//
// Threads: any thread may call every operation.
#pragma once

#include <fstream>
#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli/SessionLog.h"

namespace hvr::cli {

class Console {
public:
    enum class Form { Text, Json };
    // Called with whole output (lines ending in '\n') under the console's
    // lock instead of writing to the stream; empty to write directly.
    using Writer = std::function<void(const std::string&)>;

    // The stream must outlive the console.
    explicit Console(std::ostream& out, Form form = Form::Text) : out(out), form(form) {}

    bool json() const { return form == Form::Json; }

    // A plain note, e.g. "sent order ..." or "released": in JSON form an
    // object {"type": "note", "text": ...}.
    void print(const std::string& text);
    // A command as read from a script ("> buy ..."): {"type": "command"}.
    // The log file gets it with a password masked (commandForLog).
    void command(const std::string& line);
    // A command typed at the prompt or read from a pipe: the screen shows it
    // as typed already, so only the log file gets it, masked like command's.
    void typed(const std::string& line);
    // A wrong or failed command: {"type": "error", "text": ...}.
    void error(const std::string& text);
    // An event, answer, push or log line: the text form gets the local time
    // in front, the JSON form prints the objects (one line each) with "time"
    // added to each.
    void record(const std::string& text, std::vector<nlohmann::json> objects);

    void setWriter(Writer writer);
    // Also writes everything to this file, appended; false when it cannot be
    // opened.
    bool openLogFile(const std::string& path);
    // The same with a stream the caller keeps alive (tests).
    void setLogStream(std::ostream* stream);
    // The header and the footer of a session in the log file (not on the
    // screen); nothing without a log file.
    void logSessionStart(const SessionStart& start);
    void logSessionEnd(int exitStatus);

private:
    // One entry at one instant: `body` without a stamp for the text form
    // (the screen gets the time, the file the date and time), or the JSON
    // lines; `fileBody`, when not empty, is the file's version of it.
    void entry(std::chrono::system_clock::time_point when, const std::string& body, const std::string& fileBody = {});
    void jsonEntry(std::vector<nlohmann::json> objects, bool toScreen = true, bool toFile = true);
    void write(const std::string& screen, const std::string& file, bool toScreen = true);

    std::mutex lock;
    std::ostream& out;
    const Form form;
    Writer writer;
    std::ofstream logFile;         // open when --log-file was given
    std::ostream* log = nullptr;   // logFile, a test's stream, or none
};

// "14:03:07.123": local time with milliseconds.
std::string localTimeNow();
std::string localTime(std::chrono::system_clock::time_point when);

// "2026-12-08T14:03:07.123+08:00": local time as ISO 8601, with the zone's
// offset, for the JSON form.
std::string isoTimeNow();
// The same for a given time (for tests).
std::string isoTime(std::chrono::system_clock::time_point when);

// JSON text of one object, invalid UTF-8 replaced by U+FFFD.
std::string jsonLine(const nlohmann::json& object);

}  // namespace hvr::cli
