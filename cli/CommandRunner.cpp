#include "cli/CommandRunner.h"

#include <thread>

#include "cli/BookOutput.h"
#include "cli/CommandParser.h"
#include "cli/PasswordSource.h"
#include "cli/ConsoleListener.h"
#include "cli/ReconcileQueries.h"
#include "cli/RecordWords.h"
#include "host/NXSRecords.h"

namespace hvr::cli {

namespace {

Outcome ok() { return Outcome{}; }
Outcome failed(std::string message) { return Outcome{Outcome::Failed, std::move(message)}; }

std::string millis(std::chrono::milliseconds ms) { return std::to_string(ms.count()) + " ms"; }

std::string outstandingText(const SessionFacts& f) {
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    std::size_t inserts = 0;
    for (const auto& [tag, n] : f.pendingInserts) inserts += static_cast<std::size_t>(n);
    if (inserts > 0) add(std::to_string(inserts) + " order answer(s)");
    if (!f.pendingCancels.empty()) add(std::to_string(f.pendingCancels.size()) + " cancel outcome(s)");
    if (f.pendingQueries > 0) add(std::to_string(f.pendingQueries) + " query answer(s)");
    return text;
}

const char* awaitedStateWord(AwaitEvent event) {
    switch (event) {
        case AwaitEvent::Filled: return "filled";
        case AwaitEvent::Cancelled: return "cancelled";
        case AwaitEvent::Queuing: return "queuing";
        default: return "finished";
    }
}

bool orderReached(const SessionFacts& f, const std::string& id, AwaitEvent event) {
    const std::optional<char> latest = f.latestState(id);
    switch (event) {
        case AwaitEvent::Filled: return latest == '0';
        case AwaitEvent::Cancelled: return latest == '5';
        case AwaitEvent::Queuing: return f.hasSeenState(id, '3') || f.hasSeenState(id, '1');
        default: return latest && isFinalOrderState(*latest);
    }
}

}  // namespace

Outcome CommandRunner::execute(const Command& command) {
    const std::chrono::milliseconds timeout =
        command.timeoutMs >= 0 ? std::chrono::milliseconds(command.timeoutMs) : defaultTimeout;
    switch (command.kind) {
        case CommandKind::Empty: return ok();
        case CommandKind::Connect: return connect(timeout);
        case CommandKind::Disconnect:
            stopTrader();
            return ok();
        case CommandKind::Login: return login(command, timeout);
        case CommandKind::Logout:
            state.update([](SessionFacts& f) {
                f.credentials.reset();  // no more logins after reconnects
                f.loggedIn = false;
            });
            trader.logout();
            console.print("logged out");
            return ok();
        case CommandKind::Buy:
        case CommandKind::Sell: return insert(command.order);
        case CommandKind::Cancel: return cancel(command.orderRef, timeout);
        case CommandKind::Positions: return query(&kra::ITraderApi::queryPositions);
        case CommandKind::Funds: return query(&kra::ITraderApi::queryAccount);
        case CommandKind::Orders: return bookQuery(tools::Reconciler::Answer::Orders);
        case CommandKind::Trades: return bookQuery(tools::Reconciler::Answer::Trades);
        case CommandKind::Book: return showBook();
        case CommandKind::Reconcile: return reconcile(timeout);
        case CommandKind::Wait: return waitForAnswers(timeout);
        case CommandKind::Await: return awaitEvent(command, timeout);
        case CommandKind::Expect: return expect(command);
        case CommandKind::Sleep:
            // Waits on the state so that an interrupt ends the sleep early.
            state.waitUntil([](const SessionFacts&) { return false; }, std::chrono::milliseconds(command.sleepMs));
            return ok();
        case CommandKind::Status: return status();
        case CommandKind::Help:
            console.print(helpText());
            return ok();
        case CommandKind::Quit: return Outcome{Outcome::Quit, {}};
    }
    return ok();
}

Outcome CommandRunner::connect(std::chrono::milliseconds timeout) {
    uint64_t loginsBefore = 0;
    bool alreadyConnected = false;
    bool withCredentials = false;
    state.read([&](const SessionFacts& f) {
        loginsBefore = f.loginResults;
        alreadyConnected = f.connected;
        withCredentials = f.credentials.has_value();
        return 0;
    });
    if (alreadyConnected) {
        console.print("already connected");
        return ok();
    }
    if (needsInit) {
        try {
            trader.init(&config);
        } catch (const std::exception& e) {
            return failed(std::string("the trader refused its configuration: ") + e.what());
        }
        needsInit = false;
    }
    state.update([](SessionFacts& f) {
        f.lastConnectError = 0;
        f.closeReported = false;
    });
    trader.connect();
    if (!state.waitUntil([](const SessionFacts& f) { return f.connected; }, timeout)) {
        const int error = state.read([](const SessionFacts& f) { return f.lastConnectError; });
        stopTrader();  // stop the reconnect attempts
        state.update([](SessionFacts& f) { f.sessionFailed = true; });
        return failed("cannot connect within " + millis(timeout) +
                      (error != 0 ? " (last error: " + socketErrorText(error) + ")" : std::string()));
    }
    // The listener logs in by itself on the connect event.
    return withCredentials ? awaitLogin(loginsBefore, timeout) : ok();
}

Outcome CommandRunner::awaitLogin(uint64_t resultsBefore, std::chrono::milliseconds timeout) {
    if (!state.waitUntil([&](const SessionFacts& f) { return f.loginResults > resultsBefore; }, timeout)) {
        state.update([](SessionFacts& f) { f.sessionFailed = true; });
        return failed("no login answer within " + millis(timeout));
    }
    const auto [loggedIn, message] =
        state.read([](const SessionFacts& f) { return std::make_pair(f.loggedIn, f.loginMessage); });
    if (!loggedIn) return failed("login refused: " + message);
    // The reconciliation the login started: once the prompt is back, the
    // book holds the server's view.
    if (!state.waitUntil([](const SessionFacts& f) { return !f.reconciler.busy(); }, timeout))
        return failed("the book's reconciliation after the login got no answers within " + millis(timeout));
    return ok();
}

Outcome CommandRunner::login(const Command& command, std::chrono::milliseconds timeout) {
    std::string password = command.password;
    if (!command.user.empty() && !command.passwordGiven) {
        const std::optional<std::string> found = passwordFor(command.user);
        if (!found)
            return failed("login " + command.user + ": no password: type it after the user, set " +
                          PASSWORD_VARIABLE + ", or run at a terminal to be asked");
        password = *found;
    }
    std::optional<Credentials> previous;
    std::optional<Credentials> credentials;
    bool connected = false;
    bool loggedIn = false;
    uint64_t resultsBefore = 0;
    state.update([&](SessionFacts& f) {
        // The user logged in now, compared before the new one is stored.
        previous = f.credentials;
        if (!command.user.empty()) f.credentials = Credentials{command.user, password, resource};
        credentials = f.credentials;
        connected = f.connected;
        loggedIn = f.loggedIn;
        resultsBefore = f.loginResults;
    });
    if (!credentials) return failed("login: no user known; use login USER PASSWORD, or --user and --password");
    if (!connected) {
        console.print("not connected: connect logs in as " + credentials->user);
        return ok();
    }
    const bool sameUser = previous && previous->user == credentials->user;
    if (loggedIn && sameUser && (command.user.empty() || password == previous->password)) {
        console.print("already logged in as " + credentials->user);
        return ok();
    }
    if (loggedIn && !sameUser) {
        // The session belongs to the previous user until the server hears
        // otherwise: log out first, so nothing is sent for the wrong account.
        console.print("logging out " + (previous ? previous->user : std::string("?")) + " to log in as " +
                      credentials->user);
        state.update([](SessionFacts& f) { f.loggedIn = false; });
        trader.logout();
    }
    trader.login(credentials->user.c_str(), credentials->password.c_str(), credentials->resource.c_str());
    return awaitLogin(resultsBefore, timeout);
}

void CommandRunner::stopTrader() {
    trader.disconnect();
    needsInit = true;
}

bool CommandRunner::requireLogin(Outcome& outcome) {
    if (state.read([](const SessionFacts& f) { return f.loggedIn; })) return true;
    outcome = failed("not logged in: use connect and login first");
    return false;
}

Outcome CommandRunner::insert(const OrderRequest& order) {
    Outcome outcome;
    if (!requireLogin(outcome)) return outcome;
    char tag[64];
    if (!trader.makeEntrustId(tag, sizeof tag)) return failed("the trader cannot make an entrust id");
    kra::NXSEntrust* entrust = kra::NXSEntrust::create(order.code.c_str(), order.volume, order.price);
    entrust->direction = static_cast<kra::NXSCode>(order.direction);
    entrust->offsetType = static_cast<kra::NXSCode>(order.offset);
    entrust->timeCondition = static_cast<kra::NXSCode>(order.timeCondition);
    entrust->priceType = static_cast<kra::NXSCode>(order.priceType);
    entrust->userTag = tag;
    const std::string description = describeEntrust(*entrust);
    state.update([&](SessionFacts& f) { f.noteInsertSent(tag); });
    const int rc = trader.orderInsert(entrust);
    entrust->release();
    if (rc != 0) {
        state.update([&](SessionFacts& f) { f.noteInsertAnswered(tag, false, ""); });
        return failed("order not sent (the trader returned " + std::to_string(rc) + "): " + description);
    }
    console.print("sent order " + description + " (tag " + tag + ")");
    return ok();
}

std::string CommandRunner::resolveOrder(const std::string& orderRef, std::chrono::milliseconds timeout,
                                        std::string& message) {
    if (orderRef != "last") return orderRef;
    if (!state.waitUntil([](const SessionFacts& f) { return f.pendingInserts.empty(); }, timeout)) {
        message = "orders still unanswered after " + millis(timeout) + ", so 'last' is not known yet";
        return {};
    }
    std::string id = state.read([](const SessionFacts& f) { return f.lastOrderId; });
    if (id.empty()) message = "no order has been accepted yet, so 'last' names nothing";
    return id;
}

Outcome CommandRunner::cancel(const std::string& orderRef, std::chrono::milliseconds timeout) {
    Outcome outcome;
    if (!requireLogin(outcome)) return outcome;
    std::string message;
    const std::string id = resolveOrder(orderRef, timeout, message);
    if (id.empty()) return failed("cancel: " + message);
    kra::NXSOrderAction* action = kra::NXSOrderAction::create();
    action->actionFlag = '0';
    action->orderId = id;
    state.update([&](SessionFacts& f) { f.noteCancelSent(id); });
    const int rc = trader.orderCancel(action);
    action->release();
    if (rc != 0) {
        state.update([](SessionFacts& f) { f.pendingCancels.withdrawLast(); });
        return failed("cancel of order " + id + " not sent (the trader returned " + std::to_string(rc) + ")");
    }
    console.print("sent cancel of order " + id);
    return ok();
}

Outcome CommandRunner::query(int (kra::ITraderApi::*call)()) {
    Outcome outcome;
    if (!requireLogin(outcome)) return outcome;
    state.update([](SessionFacts& f) { ++f.pendingQueries; });
    const int rc = (trader.*call)();
    if (rc != 0) {
        state.update([](SessionFacts& f) { --f.pendingQueries; });
        return failed("query not sent (the trader returned " + std::to_string(rc) + ")");
    }
    return ok();
}

Outcome CommandRunner::bookQuery(tools::Reconciler::Answer answer) {
    Outcome outcome;
    if (!requireLogin(outcome)) return outcome;
    sendOwnQuery(state, trader, answer);
    return ok();
}

Outcome CommandRunner::showBook() {
    const auto [orders, positions, summary] = state.read([](const SessionFacts& f) {
        const tools::OrderBook& book = f.reconciler.book;
        return std::make_tuple(bookOrdersRecords(book), bookPositionsRecords(book), bookSummary(book));
    });
    std::vector<nlohmann::json> objects;
    for (auto [table, name] : {std::make_pair(&orders, "orders"), std::make_pair(&positions, "positions")}) {
        for (nlohmann::json& row : tableRows(*table)) {
            row["type"] = "row";
            row["book"] = name;
            objects.push_back(std::move(row));
        }
    }
    nlohmann::json end = {{"type", "book"}, {"orders", orders.rows.size()}, {"positions", positions.rows.size()},
                          {"text", summary}};
    state.read([&](const SessionFacts& f) {
        end["fills"] = f.reconciler.book.fillCount();
        end["duplicates"] = f.reconciler.book.duplicates();
        end["tradingDate"] = f.reconciler.book.tradingDate();
        return 0;
    });
    objects.push_back(std::move(end));
    console.record(summary + "\norders:\n" + tableText(orders) +
                       "positions from the book's fills (Server: the last positions answer):\n" + tableText(positions),
                   std::move(objects));
    return ok();
}

Outcome CommandRunner::reconcile(std::chrono::milliseconds timeout) {
    Outcome outcome;
    if (!requireLogin(outcome)) return outcome;
    const uint64_t id = *reconcileIf(state, trader, false, [](SessionFacts&) { return true; });
    if (!state.waitUntil([&](const SessionFacts& f) { return f.reconciler.finishedUpTo() >= id; }, timeout))
        return failed("no answer to the reconciliation's queries within " + millis(timeout));
    if (state.read([&](const SessionFacts& f) { return f.reconciler.wasInterrupted(id); }))
        return failed("the reconciliation was interrupted: the connection ended");
    return ok();
}

Outcome CommandRunner::waitForAnswers(std::chrono::milliseconds timeout) {
    if (state.waitUntil([](const SessionFacts& f) { return !f.answersOutstanding(); }, timeout)) return ok();
    return failed("still waiting after " + millis(timeout) + " for " +
                  state.read([](const SessionFacts& f) { return outstandingText(f); }));
}

Outcome CommandRunner::awaitEvent(const Command& command, std::chrono::milliseconds timeout) {
    const AwaitEvent event = command.awaitEvent;
    if (event == AwaitEvent::Connected || event == AwaitEvent::LoggedIn) {
        const bool login = event == AwaitEvent::LoggedIn;
        if (state.waitUntil([&](const SessionFacts& f) { return login ? f.loggedIn : f.connected; }, timeout))
            return ok();
        return failed(std::string("not ") + (login ? "logged in" : "connected") + " within " + millis(timeout));
    }
    if (event == AwaitEvent::Trades || event == AwaitEvent::Pushes || event == AwaitEvent::Logins ||
        event == AwaitEvent::Reconciled) {
        auto counted = [&](const SessionFacts& f) {
            switch (event) {
                case AwaitEvent::Trades: return f.tradePushes;
                case AwaitEvent::Pushes: return f.pushes();
                case AwaitEvent::Logins: return f.logins;
                default: return f.reconciler.completed();
            }
        };
        const char* what = event == AwaitEvent::Trades   ? " trade pushes"
                           : event == AwaitEvent::Pushes ? " pushes"
                           : event == AwaitEvent::Logins ? " logins"
                                                         : " reconciliations";
        if (state.waitUntil([&](const SessionFacts& f) { return counted(f) >= command.count; }, timeout))
            return ok();
        return failed("timed out after " + millis(timeout) + " waiting for " + std::to_string(command.count) +
                      what + ", got " +
                      std::to_string(state.read([&](const SessionFacts& f) { return counted(f); })));
    }
    std::string message;
    const std::string id = resolveOrder(command.orderRef, timeout, message);
    if (id.empty()) return failed("await: " + message);
    if (state.waitUntil([&](const SessionFacts& f) { return orderReached(f, id, event); }, timeout)) return ok();
    const std::optional<char> latest = state.read([&](const SessionFacts& f) { return f.latestState(id); });
    return failed("timed out after " + millis(timeout) + " waiting for order " + id + " to be " +
                  awaitedStateWord(event) + " (last pushed state: " +
                  (latest ? orderStateWord(*latest) : "none") + ")");
}

Outcome CommandRunner::expect(const Command& command) {
    const auto [value, name] = state.read([&](const SessionFacts& f) -> std::pair<uint64_t, const char*> {
        switch (command.expectCounter) {
            case ExpectCounter::Pushes: return {f.pushes(), "pushes"};
            case ExpectCounter::OrderPushes: return {f.orderPushes, "order pushes"};
            case ExpectCounter::TradePushes: return {f.tradePushes, "trade pushes"};
            case ExpectCounter::Duplicates: return {f.duplicatePushes, "duplicate pushes"};
            case ExpectCounter::Refusals: return {f.refusedOrders, "refused orders"};
            case ExpectCounter::Differences: return {f.reconciler.differencesReported(), "differences"};
        }
        return {0, "?"};
    });
    if (value == command.count) {
        console.print("as expected: " + std::to_string(value) + " " + name);
        return ok();
    }
    return failed("expected " + std::to_string(command.count) + " " + name + ", got " + std::to_string(value));
}

Outcome CommandRunner::status() {
    console.print(state.read([](const SessionFacts& f) {
        std::string text = std::string(f.connected ? "connected" : "not connected") + ", " +
                           (f.loggedIn ? "logged in as " + (f.credentials ? f.credentials->user : "?")
                                       : std::string("not logged in")) +
                           "\norders: " + std::to_string(f.acceptedOrders) + " accepted, " +
                           std::to_string(f.refusedOrders) + " refused; last order: " +
                           (f.lastOrderId.empty() ? "none" : f.lastOrderId) +
                           "\npushes: " + std::to_string(f.orderPushes) + " order, " +
                           std::to_string(f.tradePushes) + " trade, " + std::to_string(f.duplicatePushes) +
                           " duplicate\n" + bookSummary(f.reconciler.book) + "; " +
                           std::to_string(f.reconciler.completed()) + " reconciliations, " +
                           std::to_string(f.reconciler.differencesReported()) + " differences";
        const std::string outstanding = outstandingText(f);
        if (!outstanding.empty()) text += "\nwaiting for: " + outstanding;
        return text;
    }));
    return ok();
}

}  // namespace hvr::cli
