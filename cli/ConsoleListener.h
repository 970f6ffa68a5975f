// The host's ITraderListener: prints every event readably on the console and
// records it in the session state the command runner waits on. After every
// successful connect it logs in again with the known credentials, so a server
// restart resumes the session and its push stream without the user. Pushes
// go into the book; after every successful login (unless turned off) it
// reconciles the book with the server, and a reconciliation's answers go to
// the book instead of being printed.
//
// Threads: callbacks arrive on the trader's network thread (and, for log lines
// and the disconnect event, on the thread calling the trader). The listener
// owns no thread and keeps no record beyond a call.
//
// Lifetime: the console, the state, the catalog and the trader passed to
// attach must all outlive the trader's release().
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/RecordTables.h"
#include "cli/SessionState.h"
#include "host/ITraderApi.h"

namespace hvr::cli {

class ConsoleListener final : public kra::ITraderListener {
public:
    ConsoleListener(Console& console, SessionState& state, kra::IContractCatalog* catalog)
        : console(console), state(state), catalog(catalog) {}
    virtual ~ConsoleListener() = default;

    // The trader to log in through after a connect. Call before connect.
    void attach(kra::ITraderApi* trader) { this->trader.store(trader); }
    // Log lines below this level (kra::LogLevel) are not printed. Call
    // before connect.
    void setLogLevel(int level) { minimumLogLevel = level; }

    void onTraderEvent(int kind, int code) override;
    void onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) override;
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) override;
    void onAccountAnswer(kra::NXSArray* accounts) override;
    void onPositionsAnswer(kra::NXSArray* positions) override;
    void onOrdersAnswer(kra::NXSArray* orders) override;
    void onTradesAnswer(kra::NXSArray* trades) override;
    void onOrderPush(kra::NXSOrderInfo* order) override;
    void onTradePush(kra::NXSTradeInfo* trade) override;
    void onTraderError(kra::NXSError* error) override;
    kra::IContractCatalog* getContractCatalog() override { return catalog; }
    void logMessage(int level, const char* format, ...) override;

private:
    void printQueryAnswer(const char* title, const RecordTable& table, const std::vector<std::string>& leftOut = {});
    // Prints a reconciliation's result. Called under the state's lock.
    void printReconciled(const tools::ReconcileResult& result);

    Console& console;
    SessionState& state;
    kra::IContractCatalog* catalog;
    std::atomic<kra::ITraderApi*> trader{nullptr};
    int minimumLogLevel = kra::LOG_LEVEL_INFO;
    // Instruments the adapter warned it left out of the positions answer it
    // is converting; shown with that answer. Network thread, under the lock.
    std::mutex leftOutLock;
    std::vector<std::string> leftOutPositions;
};

// "Connection refused (111)": the text of a socket error code.
std::string socketErrorText(int code);

// The text of the code of a connection-ended event: "End of file: the server
// closed the connection (2)", or the socket error's text.
std::string connectionEndedText(int code);

// The instrument code of the adapter's warning that a position was left out
// because the host's catalog does not know its instrument; none for any other
// log line. Takes the line as UTF-8.
std::optional<std::string> leftOutPositionCode(const std::string& utf8LogText);

}  // namespace hvr::cli
