// What hvr-host shows of its session: every event of the session core
// (common/SessionCore.h) printed readably on the console, as text lines or
// JSON objects. It keeps nothing of the session but what printing needs (one
// "connection closed" per close).
//
// Threads: onSessionEvent arrives on the module's network thread (and on the
// thread of a module call for log lines and the disconnect event), one event
// at a time per thread; printing goes through the console's lock.
//
// Lifetime: the console must outlive the trader's release().
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "common/SessionEvents.h"
#include "common/SessionState.h"
#include "host/ITraderListener.h"

namespace hvr::cli {

class ConsolePresenter final : public tools::SessionObserver {
public:
    explicit ConsolePresenter(Console& console) : console(console) {}

    // Log lines below this level (kra::LogLevel) are not printed. Before
    // connect.
    void setLogLevel(int level) { minimumLogLevel = level; }
    // A connect command is starting: its end is printed even after an
    // earlier close was.
    void connecting();

    void onSessionEvent(const tools::SessionEvent& event, std::chrono::system_clock::time_point received) override;

    // The operator's own printing of session facts, in the same words.
    void printDoubts(const std::vector<tools::Doubt>& doubts);
    void printUnanswered(const tools::Unanswered& unanswered);

private:
    struct Printer;

    Console& console;
    int minimumLogLevel = kra::LOG_LEVEL_INFO;
    std::mutex lock;            // guards the two below
    bool connected = false;
    // The end of the connection was printed and no connection (or connect
    // command) came since: the module reports (1, 0) on every disconnect and
    // again at release, and one "connection closed" is enough.
    bool closeReported = false;
};

// "Connection refused (111)": the text of a socket error code.
std::string socketErrorText(int code);

// The text of the code of a connection-ended event: "End of file: the server
// closed the connection (2)", or the socket error's text.
std::string connectionEndedText(int code);

// A request in doubt as JSON: "kind", "user", "tag", "orderId", "text".
nlohmann::json doubtJson(const tools::Doubt& doubt);

}  // namespace hvr::cli
