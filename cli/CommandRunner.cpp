#include "cli/CommandRunner.h"

#include "cli/BookOutput.h"
#include "cli/CommandParser.h"
#include "cli/PasswordSource.h"
#include "cli/RecordWords.h"
#include "host/NXSRecords.h"

namespace hvr::cli {

namespace {

using tools::SessionState;

Outcome ok() { return Outcome{}; }
Outcome failed(std::string message) { return Outcome{Outcome::Failed, std::move(message)}; }

std::string millis(std::chrono::milliseconds ms) { return std::to_string(ms.count()) + " ms"; }

const char* awaitedStateWord(AwaitEvent event) {
    switch (event) {
        case AwaitEvent::Filled: return "filled";
        case AwaitEvent::Cancelled: return "cancelled";
        case AwaitEvent::Queuing: return "queuing";
        default: return "finished";
    }
}

bool orderReached(const SessionState& s, const std::string& id, AwaitEvent event) {
    const std::optional<char> latest = s.latestState(id);
    switch (event) {
        case AwaitEvent::Filled: return latest == '0';
        case AwaitEvent::Cancelled: return latest == '5';
        case AwaitEvent::Queuing: return s.hasSeenState(id, '3') || s.hasSeenState(id, '1');
        default: return latest && kra::isFinalOrderState(static_cast<unsigned char>(*latest));
    }
}

Outcome notSent(const tools::SendResult& r, const std::string& what) {
    if (r.status == tools::SendResult::NotLoggedIn) return failed("not logged in: use connect and login first");
    std::string message = what + " not sent (the trader returned " + std::to_string(r.rc) + ")";
    if (!r.why.empty()) message += ": " + r.why;
    return failed(message);
}

}  // namespace

std::string outstandingText(const SessionState& s) {
    const tools::Unanswered u = s.unanswered();
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (!u.orderTags.empty()) add(std::to_string(u.orderTags.size()) + " order answer(s)");
    if (!u.cancelOrderIds.empty()) add(std::to_string(u.cancelOrderIds.size()) + " cancel outcome(s)");
    if (!u.queries.empty()) add(std::to_string(u.queries.size()) + " query answer(s)");
    if (u.reconciliations > 0) add(std::to_string(u.reconciliations) + " reconciliation(s)");
    return text;
}

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
            core.logout();  // and no more logins after reconnects
            console.print("logged out");
            return ok();
        case CommandKind::Buy:
        case CommandKind::Sell: return insert(command.order);
        case CommandKind::Cancel: return cancel(command.orderRef, timeout);
        case CommandKind::Positions: return query(tools::QueryKind::Positions);
        case CommandKind::Funds: return query(tools::QueryKind::Account);
        case CommandKind::Orders: return query(tools::QueryKind::Orders);
        case CommandKind::Trades: return query(tools::QueryKind::Trades);
        case CommandKind::Book: return showBook();
        case CommandKind::Doubt:
            presenter.printDoubts(core.read([](const SessionState& s) { return s.doubts(); }));
            return ok();
        case CommandKind::Reconcile: return reconcile(timeout);
        case CommandKind::Wait: return waitForAnswers(timeout);
        case CommandKind::Await: return awaitEvent(command, timeout);
        case CommandKind::Expect: return expect(command);
        case CommandKind::Sleep:
            // Waits on the core so that an interrupt ends the sleep early.
            core.waitUntil([](const SessionState&) { return false; }, std::chrono::milliseconds(command.sleepMs));
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
    const auto [loginsBefore, refusalsBefore, alreadyConnected, withCredentials] = core.read([](const SessionState& s) {
        return std::make_tuple(s.counts().loginResults, s.counts().loginRefusals, s.connected(),
                               s.knownCredentials().has_value());
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
    presenter.connecting();
    trader.connect();
    if (!core.waitUntil([](const SessionState& s) { return s.connected(); }, timeout)) {
        const int error = core.read([](const SessionState& s) { return s.counts().lastConnectError; });
        stopTrader();  // stop the reconnect attempts
        return failed("cannot connect within " + millis(timeout) +
                      (error != 0 ? " (last error: " + socketErrorText(error) + ")" : std::string()));
    }
    // The core logs in by itself on the connect event.
    return withCredentials ? awaitLogin(loginsBefore, refusalsBefore, timeout) : ok();
}

Outcome CommandRunner::awaitLogin(uint64_t resultsBefore, uint64_t refusalsBefore, std::chrono::milliseconds timeout) {
    if (!core.waitUntil([&](const SessionState& s) { return s.counts().loginResults > resultsBefore; }, timeout))
        return failed("no login answer within " + millis(timeout));
    // Refused, even when the user logged in before is already back.
    const auto [refused, refusal] = core.read([&](const SessionState& s) {
        return std::make_pair(s.counts().loginRefusals > refusalsBefore, s.lastRefusal());
    });
    if (refused) return failed("login refused: " + (refusal ? refusal->message : std::string()));
    // The reconciliation the login started: once the prompt is back, the
    // book holds the server's view.
    if (!core.waitUntil([](const SessionState& s) { return !s.reconciling(); }, timeout))
        return failed("the book's reconciliation after the login got no answers within " + millis(timeout));
    return ok();
}

Outcome CommandRunner::login(const Command& command, std::chrono::milliseconds timeout) {
    std::string password = command.password;
    if (!command.user.empty() && !command.passwordGiven) {
        std::optional<std::string> found = passwordFromEnvironment();
        if (!found) {
            const std::string prompt = "password for " + command.user + ": ";
            found = askPassword ? askPassword(prompt) : promptPassword(prompt);
        }
        if (!found)
            return failed("login " + command.user + ": no password: type it after the user, set " +
                          PASSWORD_VARIABLE + ", or run at a terminal to be asked");
        password = *found;
    }
    std::optional<tools::Credentials> credentials;
    if (!command.user.empty()) {
        credentials = tools::Credentials{command.user, password, resource};
    } else {
        credentials = core.read([](const SessionState& s) { return s.knownCredentials(); });
    }
    if (!credentials) return failed("login: no user known; use login USER PASSWORD, or --user and --password");
    const auto [resultsBefore, refusalsBefore] = core.read(
        [](const SessionState& s) { return std::make_pair(s.counts().loginResults, s.counts().loginRefusals); });
    switch (core.login(*credentials)) {
        case tools::LoginDecision::AtConnect:
            console.print("not connected: connect logs in as " + credentials->user);
            return ok();
        case tools::LoginDecision::AlreadyLoggedIn:
            console.print("already logged in as " + credentials->user);
            return ok();
        case tools::LoginDecision::Send: break;
    }
    return awaitLogin(resultsBefore, refusalsBefore, timeout);
}

void CommandRunner::stopTrader() {
    trader.disconnect();
    needsInit = true;
}

Outcome CommandRunner::insert(const OrderRequest& order) {
    tools::OrderTicket ticket;
    ticket.code = order.code;
    ticket.volume = order.volume;
    ticket.price = order.price;
    ticket.direction = static_cast<uint32_t>(order.direction);
    ticket.offsetType = static_cast<uint32_t>(order.offset);
    ticket.timeCondition = static_cast<uint32_t>(order.timeCondition);
    ticket.priceType = static_cast<uint32_t>(order.priceType);
    const std::string description = describeEntrust(ticket);
    const tools::SendResult sent = core.insert(ticket);
    if (sent.status != tools::SendResult::Sent) return notSent(sent, "order " + description);
    console.print("sent order " + description + " (tag " + sent.tag + ")");
    return ok();
}

std::string CommandRunner::resolveOrder(const std::string& orderRef, std::chrono::milliseconds timeout,
                                        std::string& message) {
    if (orderRef != "last") return orderRef;
    if (!core.waitUntil([](const SessionState& s) { return s.insertsAwaited() == 0; }, timeout)) {
        message = "orders still unanswered after " + millis(timeout) + ", so 'last' is not known yet";
        return {};
    }
    const auto [id, user] =
        core.read([](const SessionState& s) { return std::make_pair(s.lastOrderId(), s.user()); });
    if (id.empty())
        message = "no order of " + (user.empty() ? std::string("this session") : user) +
                  " has been accepted yet, so 'last' names nothing";
    return id;
}

Outcome CommandRunner::cancel(const std::string& orderRef, std::chrono::milliseconds timeout) {
    if (!core.read([](const SessionState& s) { return s.loggedIn(); }))
        return failed("not logged in: use connect and login first");
    std::string message;
    const std::string id = resolveOrder(orderRef, timeout, message);
    if (id.empty()) return failed("cancel: " + message);
    const tools::SendResult sent = core.cancel(id);
    if (sent.status != tools::SendResult::Sent) return notSent(sent, "cancel of order " + id);
    console.print("sent cancel of order " + id);
    return ok();
}

Outcome CommandRunner::query(tools::QueryKind kind) {
    const tools::SendResult sent = core.query(kind);
    if (sent.status != tools::SendResult::Sent) return notSent(sent, std::string(tools::queryKindWord(kind)) + " query");
    return ok();
}

Outcome CommandRunner::showBook() {
    const auto [orders, positions, summary, fills, duplicates, tradingDate] = core.read([](const SessionState& s) {
        const tools::OrderBook& book = s.book();
        return std::make_tuple(bookOrdersRecords(book), bookPositionsRecords(book), bookSummary(book), book.fillCount(),
                               book.duplicates(), book.tradingDate());
    });
    std::vector<nlohmann::json> objects;
    for (auto [table, name] : {std::make_pair(&orders, "orders"), std::make_pair(&positions, "positions")}) {
        for (nlohmann::json& row : tableRows(*table)) {
            row["type"] = "row";
            row["book"] = name;
            objects.push_back(std::move(row));
        }
    }
    objects.push_back({{"type", "book"}, {"orders", orders.rows.size()}, {"positions", positions.rows.size()},
                       {"text", summary}, {"fills", fills}, {"duplicates", duplicates}, {"tradingDate", tradingDate}});
    console.record(summary + "\norders:\n" + tableText(orders) +
                       "positions from the book's fills (Server: the last positions answer):\n" + tableText(positions),
                   std::move(objects));
    return ok();
}

Outcome CommandRunner::reconcile(std::chrono::milliseconds timeout) {
    const std::optional<uint64_t> id = core.reconcile(false);
    if (!id) return failed("not logged in: use connect and login first");
    if (!core.waitUntil([&](const SessionState& s) { return s.reconcileFinished(*id); }, timeout))
        return failed("no answer to the reconciliation's queries within " + millis(timeout));
    if (core.read([&](const SessionState& s) { return s.reconcileInterrupted(*id); }))
        return failed("the reconciliation was interrupted: the connection ended");
    return ok();
}

Outcome CommandRunner::waitForAnswers(std::chrono::milliseconds timeout) {
    if (core.waitUntil([](const SessionState& s) { return !s.answersAwaited(); }, timeout)) return ok();
    return failed("still waiting after " + millis(timeout) + " for " +
                  core.read([](const SessionState& s) { return outstandingText(s); }));
}

Outcome CommandRunner::awaitEvent(const Command& command, std::chrono::milliseconds timeout) {
    const AwaitEvent event = command.awaitEvent;
    if (event == AwaitEvent::Connected || event == AwaitEvent::LoggedIn) {
        const bool login = event == AwaitEvent::LoggedIn;
        if (core.waitUntil([&](const SessionState& s) { return login ? s.loggedIn() : s.connected(); }, timeout))
            return ok();
        return failed(std::string("not ") + (login ? "logged in" : "connected") + " within " + millis(timeout));
    }
    if (event == AwaitEvent::Trades || event == AwaitEvent::Pushes || event == AwaitEvent::Logins ||
        event == AwaitEvent::Reconciled) {
        auto counted = [&](const SessionState& s) {
            switch (event) {
                case AwaitEvent::Trades: return s.counts().tradePushes;
                case AwaitEvent::Pushes: return s.counts().pushes();
                case AwaitEvent::Logins: return s.counts().logins;
                default: return s.counts().reconciliations;
            }
        };
        const char* what = event == AwaitEvent::Trades   ? " trade pushes"
                           : event == AwaitEvent::Pushes ? " pushes"
                           : event == AwaitEvent::Logins ? " logins"
                                                         : " reconciliations";
        if (core.waitUntil([&](const SessionState& s) { return counted(s) >= command.count; }, timeout)) return ok();
        return failed("timed out after " + millis(timeout) + " waiting for " + std::to_string(command.count) + what +
                      ", got " + std::to_string(core.read(counted)));
    }
    std::string message;
    const std::string id = resolveOrder(command.orderRef, timeout, message);
    if (id.empty()) return failed("await: " + message);
    if (core.waitUntil([&](const SessionState& s) { return orderReached(s, id, event); }, timeout)) return ok();
    const std::optional<char> latest = core.read([&](const SessionState& s) { return s.latestState(id); });
    return failed("timed out after " + millis(timeout) + " waiting for order " + id + " to be " +
                  awaitedStateWord(event) + " (last pushed state: " +
                  (latest ? orderStateWord(static_cast<unsigned char>(*latest)) : "none") + ")");
}

Outcome CommandRunner::expect(const Command& command) {
    const auto [value, name] = core.read([&](const SessionState& s) -> std::pair<uint64_t, const char*> {
        const tools::SessionCounts& c = s.counts();
        switch (command.expectCounter) {
            case ExpectCounter::Pushes: return {c.pushes(), "pushes"};
            case ExpectCounter::OrderPushes: return {c.orderPushes, "order pushes"};
            case ExpectCounter::TradePushes: return {c.tradePushes, "trade pushes"};
            case ExpectCounter::Duplicates: return {c.duplicatePushes, "duplicate pushes"};
            case ExpectCounter::Refusals: return {c.refusedOrders, "refused orders"};
            case ExpectCounter::Differences: return {c.differences, "differences"};
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
    console.print(core.read([](const SessionState& s) {
        const tools::SessionCounts& c = s.counts();
        const std::string last = s.lastOrderId();
        std::string text = std::string(s.connected() ? "connected" : "not connected") + ", " +
                           (s.loggedIn() ? "logged in as " + s.user() : std::string("not logged in")) +
                           "\norders: " + std::to_string(c.acceptedOrders) + " accepted, " +
                           std::to_string(c.refusedOrders) + " refused; last order: " + (last.empty() ? "none" : last) +
                           "\npushes: " + std::to_string(c.orderPushes) + " order, " + std::to_string(c.tradePushes) +
                           " trade, " + std::to_string(c.duplicatePushes) + " duplicate\n" + bookSummary(s.book()) +
                           "; " + std::to_string(c.reconciliations) + " reconciliations, " +
                           std::to_string(c.differences) + " differences";
        const std::string outstanding = outstandingText(s);
        if (!outstanding.empty()) text += "\nwaiting for: " + outstanding;
        const std::size_t doubts = s.doubts().size();
        if (doubts > 0) text += "\nin doubt: " + std::to_string(doubts) + " (see doubt)";
        return text;
    }));
    return ok();
}

}  // namespace hvr::cli
