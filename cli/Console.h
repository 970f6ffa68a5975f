// The host's output. Two forms:
//   text  lines for a reader; events, answers, pushes and log lines start
//         with the local time "HH:MM:SS.mmm ";
//   json  one JSON object per line for everything printed (--json), each
//         with "type" and "time", so that a script can consume a session.
//
// Whole lines are written under one lock and flushed at once, so lines from
// the network thread and the main thread never interleave and a process
// reading the output sees each event when it happens. While a line editor
// owns the terminal, lines go through its redraw hook instead (LineEditor).
//
// Threads: any thread may call every operation.
#pragma once

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

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
    void command(const std::string& line);
    // A wrong or failed command: {"type": "error", "text": ...}.
    void error(const std::string& text);
    // An event, answer, push or log line: the text form gets the local time
    // in front, the JSON form prints the objects (one line each) with "time"
    // added to each.
    void record(const std::string& text, std::vector<nlohmann::json> objects);

    void setWriter(Writer writer);

private:
    void write(const std::string& whole);

    std::mutex lock;
    std::ostream& out;
    const Form form;
    Writer writer;
};

// "14:03:07.123": local time with milliseconds.
std::string localTimeNow();

// JSON text of one object, invalid UTF-8 replaced by U+FFFD.
std::string jsonLine(const nlohmann::json& object);

}  // namespace hvr::cli
