// Carries out commands against one trader through the session core
// (common/SessionCore.h): sends orders, cancels and queries, and waits, with a
// timeout, for what the core reports.
//
// Threads: one host thread (the main thread) calls execute; the core's state
// changes on the module's network thread.
// Lifetime: the trader, core, console, presenter and config must outlive the
// runner.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "cli/Command.h"
#include "cli/Console.h"
#include "cli/ConsolePresenter.h"
#include "common/SessionCore.h"
#include "host/ITraderApi.h"

namespace hvr::cli {

struct Outcome {
    enum Kind { Continue, Quit, Failed } kind = Continue;
    std::string message;  // for Failed: what went wrong, in plain words
};

class CommandRunner {
public:
    // config: the node init was given; after disconnect, connect gives it to
    // init again, since the adapter connects again only after init.
    CommandRunner(kra::ITraderApi& trader, tools::SessionCore& core, Console& console, ConsolePresenter& presenter,
                  std::chrono::milliseconds timeout, std::string resource, const kra::NXSConfigNode& config)
        : trader(trader),
          core(core),
          console(console),
          presenter(presenter),
          defaultTimeout(timeout),
          resource(std::move(resource)),
          config(config) {}

    Outcome execute(const Command& command);

    // Asks the operator for a password ("password for demo: "); none when it
    // cannot. By default the terminal is asked directly (PasswordSource.h);
    // at the prompt the line editor asks, keeping the prompt whole while
    // events are printed.
    using PasswordPrompt = std::function<std::optional<std::string>(const std::string& prompt)>;
    void setPasswordPrompt(PasswordPrompt prompt) { askPassword = std::move(prompt); }

private:
    Outcome connect(std::chrono::milliseconds timeout);
    Outcome login(const Command& command, std::chrono::milliseconds timeout);
    // Waits for the answer to the login sent after resultsBefore answers; fails
    // when it (or any login since) was refused.
    Outcome awaitLogin(uint64_t resultsBefore, uint64_t refusalsBefore, std::chrono::milliseconds timeout);
    Outcome insert(const OrderRequest& order);
    Outcome cancel(const std::string& orderRef, std::chrono::milliseconds timeout);
    Outcome query(tools::QueryKind kind);
    Outcome showBook();
    Outcome reconcile(std::chrono::milliseconds timeout);
    Outcome waitForAnswers(std::chrono::milliseconds timeout);
    Outcome awaitEvent(const Command& command, std::chrono::milliseconds timeout);
    Outcome expect(const Command& command);
    Outcome status();
    // Resolves "last" to the current user's last accepted order id (after
    // every insert is answered); an id is returned as is. Empty on failure,
    // with message set.
    std::string resolveOrder(const std::string& orderRef, std::chrono::milliseconds timeout, std::string& message);
    void stopTrader();  // disconnect; the next connect calls init first

    kra::ITraderApi& trader;
    tools::SessionCore& core;
    Console& console;
    ConsolePresenter& presenter;
    std::chrono::milliseconds defaultTimeout;
    std::string resource;
    const kra::NXSConfigNode& config;
    bool needsInit = false;  // set by disconnect, cleared by init
    PasswordPrompt askPassword;
};

// "2 order answer(s), 1 cancel outcome(s)": what the session still waits for;
// empty when nothing.
std::string outstandingText(const tools::SessionState& state);

}  // namespace hvr::cli
