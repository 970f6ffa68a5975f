// The interactive prompt on a terminal: line editing, history kept in
// ~/.hvr_host_history and tab completion of command names, through libedit's
// readline-compatible interface.
//
// The editor reads with the callback interface on the main thread; libedit
// takes each character through the editor's own reader, which polls the
// terminal (without blocking, on a descriptor of its own) and a wake pipe,
// so that an interrupt always ends the wait. Lines the console prints while the operator
// types (events from the network thread) are handed to the editor, which
// clears the input line, prints them and redraws the prompt with what was
// typed so far; outside readLine they are written directly.
//
// Threads: readLine on the main thread; interrupt and the console writer
// from any thread. Only the main thread calls libedit.
// Lifetime: one editor at a time (libedit's state is global); the console
// must outlive it; the editor detaches itself from the console when
// destroyed.
#pragma once

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/LineSource.h"

namespace hvr::cli {

class LineEditor final : public LineSource {
public:
    // historyPath empty: no history file. completions: the command names.
    LineEditor(Console& console, std::ostream& out, std::string prompt, std::string historyPath,
               std::vector<std::string> completions);
    ~LineEditor() override;
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    bool readLine(std::string& line) override;
    void interrupt() override;
    // Asks for a password on the terminal, with echo off; none at the end of
    // input or once interrupted. Main thread, outside readLine.
    std::optional<std::string> readPassword(const std::string& passwordPrompt);

    // ~/.hvr_host_history, or empty when HOME is not set.
    static std::string defaultHistoryPath();

private:
    void writeFromConsole(const std::string& text);  // under the console's lock
    void printQueued();                               // main thread, while editing
    static int readCharacter(FILE*);                  // libedit's character reader
    int nextCharacter();

    Console& console;
    std::ostream& out;
    const std::string prompt;
    const std::string historyPath;

    // Shared between the console writer (any thread) and the main thread.
    std::mutex queueLock;
    bool editing = false;  // inside readLine: printed lines wait in queued
    std::string passwordPrompt;  // not empty inside readPassword: printed lines wait in queued too
    std::deque<std::string> queued;

    std::atomic<bool> interrupted{false};
    WakePipe wake;

    // Main thread only.
    int terminalFd = -1;  // the terminal opened again, not blocking; -1: standard input
    bool inputEnded = false;
};

}  // namespace hvr::cli
