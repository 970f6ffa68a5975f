#include "cli/CommandParser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

namespace hvr::cli {

namespace {

const char ORDER_USAGE[] = "CODE VOLUME PRICE [open|close|closetoday] [day|section|ioc] [limit|market]";

std::vector<std::string> splitWords(std::string_view line) {
    const std::size_t comment = line.find('#');
    if (comment != std::string_view::npos) line = line.substr(0, comment);
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        const std::size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) words.emplace_back(line.substr(start, i - start));
    }
    return words;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<uint64_t> parseWhole(const std::string& text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    return std::strtoull(text.c_str(), nullptr, 10);
}

std::optional<double> parsePrice(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

ParsedCommand fail(std::string message) { return ParsedCommand{std::nullopt, std::move(message)}; }
ParsedCommand ok(Command command) { return ParsedCommand{std::move(command), {}}; }

// Reads an optional trailing timeout at words[index].
bool readTimeout(const std::vector<std::string>& words, std::size_t index, Command& command, std::string& error) {
    if (words.size() <= index) return true;
    if (words.size() > index + 1) {
        error = words[0] + ": too many arguments";
        return false;
    }
    const auto ms = parseWhole(words[index]);
    if (!ms) {
        error = words[0] + ": TIMEOUT_MS must be a whole number of milliseconds, got '" + words[index] + "'";
        return false;
    }
    command.timeoutMs = static_cast<long>(*ms);
    return true;
}

bool isOrderRef(const std::string& text) { return text == "last" || parseWhole(text).has_value(); }

ParsedCommand parseOrder(const std::vector<std::string>& words, char direction) {
    const std::string& name = words[0];
    if (words.size() < 4) return fail(name + ": missing arguments; usage: " + name + " " + ORDER_USAGE);
    Command command;
    command.kind = direction == '0' ? CommandKind::Buy : CommandKind::Sell;
    OrderRequest& order = command.order;
    order.direction = direction;
    order.code = words[1];
    const auto volume = parseWhole(words[2]);
    if (!volume || *volume > UINT32_MAX)
        return fail(name + ": VOLUME must be a whole number of lots, got '" + words[2] + "'");
    order.volume = static_cast<uint32_t>(*volume);
    const auto price = parsePrice(words[3]);
    if (!price) return fail(name + ": PRICE must be a number, got '" + words[3] + "'");
    order.price = *price;

    static const std::map<std::string, std::pair<char OrderRequest::*, char>> flags = {
        {"open", {&OrderRequest::offset, '0'}},        {"close", {&OrderRequest::offset, '1'}},
        {"closetoday", {&OrderRequest::offset, '3'}},  {"day", {&OrderRequest::timeCondition, '3'}},
        {"section", {&OrderRequest::timeCondition, '2'}}, {"ioc", {&OrderRequest::timeCondition, '1'}},
        {"limit", {&OrderRequest::priceType, '2'}},    {"market", {&OrderRequest::priceType, '1'}},
    };
    for (std::size_t i = 4; i < words.size(); ++i) {
        auto it = flags.find(lowered(words[i]));
        if (it == flags.end())
            return fail(name + ": unknown flag '" + words[i] + "'; flags are open, close, closetoday, day, "
                        "section, ioc, limit, market");
        order.*(it->second.first) = it->second.second;
    }
    return ok(command);
}

ParsedCommand parseAwait(const std::vector<std::string>& words) {
    static const char usage[] =
        "usage: await connected|login [TIMEOUT_MS], await filled|cancelled|queuing|finished ORDERID|last "
        "[TIMEOUT_MS], await trades|pushes|logins|reconciled N [TIMEOUT_MS]";
    if (words.size() < 2) return fail(std::string("await: missing event; ") + usage);
    Command command;
    command.kind = CommandKind::Await;
    const std::string event = lowered(words[1]);
    static const std::map<std::string, AwaitEvent> plain = {{"connected", AwaitEvent::Connected},
                                                            {"login", AwaitEvent::LoggedIn}};
    static const std::map<std::string, AwaitEvent> ofOrder = {{"filled", AwaitEvent::Filled},
                                                              {"cancelled", AwaitEvent::Cancelled},
                                                              {"queuing", AwaitEvent::Queuing},
                                                              {"finished", AwaitEvent::Finished}};
    static const std::map<std::string, AwaitEvent> counted = {{"trades", AwaitEvent::Trades},
                                                              {"pushes", AwaitEvent::Pushes},
                                                              {"logins", AwaitEvent::Logins},
                                                              {"reconciled", AwaitEvent::Reconciled}};
    std::string error;
    if (auto it = plain.find(event); it != plain.end()) {
        command.awaitEvent = it->second;
        if (!readTimeout(words, 2, command, error)) return fail(error);
        return ok(command);
    }
    if (auto it = ofOrder.find(event); it != ofOrder.end()) {
        command.awaitEvent = it->second;
        if (words.size() < 3) return fail("await " + event + ": missing ORDERID (a server order id or 'last')");
        if (!isOrderRef(words[2]))
            return fail("await " + event + ": ORDERID must be a number or 'last', got '" + words[2] + "'");
        command.orderRef = words[2];
        if (!readTimeout(words, 3, command, error)) return fail(error);
        return ok(command);
    }
    if (auto it = counted.find(event); it != counted.end()) {
        command.awaitEvent = it->second;
        if (words.size() < 3) return fail("await " + event + ": missing N");
        const auto n = parseWhole(words[2]);
        if (!n) return fail("await " + event + ": N must be a whole number, got '" + words[2] + "'");
        command.count = *n;
        if (!readTimeout(words, 3, command, error)) return fail(error);
        return ok(command);
    }
    return fail("await: unknown event '" + words[1] + "'; " + usage);
}

ParsedCommand parseExpect(const std::vector<std::string>& words) {
    static const std::map<std::string, ExpectCounter> counters = {
        {"pushes", ExpectCounter::Pushes},         {"order-pushes", ExpectCounter::OrderPushes},
        {"trade-pushes", ExpectCounter::TradePushes}, {"duplicates", ExpectCounter::Duplicates},
        {"refusals", ExpectCounter::Refusals},     {"differences", ExpectCounter::Differences}};
    static const char usage[] = "usage: expect pushes|order-pushes|trade-pushes|duplicates|refusals|differences N";
    if (words.size() != 3) return fail(std::string("expect: ") + (words.size() < 3 ? "missing arguments; " : "too many arguments; ") + usage);
    auto it = counters.find(lowered(words[1]));
    if (it == counters.end()) return fail("expect: unknown counter '" + words[1] + "'; " + usage);
    const auto n = parseWhole(words[2]);
    if (!n) return fail("expect: N must be a whole number, got '" + words[2] + "'");
    Command command;
    command.kind = CommandKind::Expect;
    command.expectCounter = it->second;
    command.count = *n;
    return ok(command);
}

// Commands that take no argument at all.
const std::map<std::string, CommandKind>& bareCommands() {
    static const std::map<std::string, CommandKind> bare = {
        {"connect", CommandKind::Connect},     {"disconnect", CommandKind::Disconnect},
        {"logout", CommandKind::Logout},       {"positions", CommandKind::Positions},
        {"funds", CommandKind::Funds},         {"orders", CommandKind::Orders},
        {"trades", CommandKind::Trades},       {"status", CommandKind::Status},
        {"book", CommandKind::Book},           {"doubt", CommandKind::Doubt},
        {"help", CommandKind::Help},           {"quit", CommandKind::Quit},
        {"exit", CommandKind::Quit},
    };
    return bare;
}

}  // namespace

ParsedCommand parseCommand(std::string_view line) {
    const std::vector<std::string> words = splitWords(line);
    if (words.empty()) return ok(Command{});
    const std::string name = lowered(words[0]);

    if (auto it = bareCommands().find(name); it != bareCommands().end()) {
        if (words.size() > 1) return fail(name + ": takes no arguments");
        Command command;
        command.kind = it->second;
        return ok(command);
    }
    if (name == "buy" || name == "sell") {
        std::vector<std::string> named = words;
        named[0] = name;
        return parseOrder(named, name == "buy" ? '0' : '1');
    }
    if (name == "login") {
        if (words.size() > 3) return fail("login: too many arguments; usage: login [USER [PASSWORD]]");
        Command command;
        command.kind = CommandKind::Login;
        if (words.size() >= 2) command.user = words[1];
        if (words.size() == 3) command.password = words[2];
        command.passwordGiven = words.size() == 3;
        return ok(command);
    }
    if (name == "cancel") {
        if (words.size() < 2) return fail("cancel: missing ORDERID; usage: cancel ORDERID|last");
        if (words.size() > 2) return fail("cancel: too many arguments; usage: cancel ORDERID|last");
        if (!isOrderRef(words[1])) return fail("cancel: ORDERID must be a number or 'last', got '" + words[1] + "'");
        Command command;
        command.kind = CommandKind::Cancel;
        command.orderRef = words[1];
        return ok(command);
    }
    if (name == "wait" || name == "reconcile") {
        Command command;
        command.kind = name == "wait" ? CommandKind::Wait : CommandKind::Reconcile;
        std::string error;
        std::vector<std::string> named = words;
        named[0] = name;
        if (!readTimeout(named, 1, command, error)) return fail(error);
        return ok(command);
    }
    if (name == "sleep") {
        if (words.size() != 2) return fail("sleep: usage: sleep MS");
        const auto ms = parseWhole(words[1]);
        if (!ms) return fail("sleep: MS must be a whole number of milliseconds, got '" + words[1] + "'");
        Command command;
        command.kind = CommandKind::Sleep;
        command.sleepMs = static_cast<long>(*ms);
        return ok(command);
    }
    if (name == "await") return parseAwait(words);
    if (name == "expect") return parseExpect(words);
    return fail("unknown command '" + words[0] + "' (type help for the list)");
}

const char* helpText() {
    return "Commands:\n"
           "  connect                          connect (and log in again if credentials are known)\n"
           "  login [USER [PASSWORD]]          log in; later reconnects log in by themselves; without\n"
           "                                   PASSWORD: $HVR_PASSWORD, or asked at the terminal\n"
           "  logout | disconnect\n"
           "  buy CODE VOLUME PRICE [flags]    flags: open (default) close closetoday,\n"
           "  sell CODE VOLUME PRICE [flags]          day (default) section ioc, limit (default) market\n"
           "  cancel ORDERID|last              cancel an order by its server order id\n"
           "  funds | positions | orders | trades   query and print a table\n"
           "  book                             the book's orders and positions (from the pushes)\n"
           "  doubt                            orders and cancels in doubt (a connection ended before\n"
           "                                   their answer), resolved after the next login\n"
           "  reconcile [TIMEOUT_MS]           compare the book with the server's orders and fills\n"
           "  wait [TIMEOUT_MS]                wait until every insert, cancel and query is answered\n"
           "  await connected|login [TIMEOUT_MS]\n"
           "  await filled|cancelled|queuing|finished ORDERID|last [TIMEOUT_MS]\n"
           "  await trades|pushes N [TIMEOUT_MS]  until N trade pushes / pushes arrived this session\n"
           "  await logins N [TIMEOUT_MS]      until N logins succeeded (reconnects log in again)\n"
           "  await reconciled N [TIMEOUT_MS]  until N reconciliations finished (one after every login)\n"
           "  expect pushes|order-pushes|trade-pushes|duplicates|refusals|differences N\n"
           "  sleep MS | status | help | quit\n";
}

}  // namespace hvr::cli
