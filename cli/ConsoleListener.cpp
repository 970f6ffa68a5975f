#include "cli/ConsoleListener.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/BookRecords.h"
#include "common/GbkText.h"
#include "common/LogFormat.h"
#include "cli/BookOutput.h"
#include "cli/ReconcileQueries.h"
#include "cli/RecordTables.h"
#include "cli/RecordWords.h"

using nlohmann::json;

namespace hvr::cli {

using tools::gbkToUtf8;
using tools::readableText;
using tools::formatLogLine;

namespace {

const char* levelWord(int level) {
    switch (level) {
        case kra::LOG_LEVEL_INFO: return "info";
        case kra::LOG_LEVEL_WARN: return "warn";
        case kra::LOG_LEVEL_ERROR: return "error";
        default: return "log";
    }
}

// The adapter's warning for a position whose instrument the catalog does
// not know, in UTF-8; the instrument code follows it.
constexpr char LEFT_OUT_POSITION_PREFIX[] = "[TraderHVR]\xe6\x8c\x81\xe4\xbb\x93\xe5\x90\x88\xe7\xba\xa6"
                                            "\xe4\xb8\x8d\xe5\x9c\xa8\xe5\x90\x88\xe7\xba\xa6\xe7\x9b\xae"
                                            "\xe5\xbd\x95\xe4\xb8\xad,\xe5\xb7\xb2\xe7\x95\xa5\xe8\xbf\x87:";

// The receive error the adapter reports when the server closes the
// connection: Asio's end of file (a value of its own category, not errno).
constexpr int END_OF_FILE_CODE = 2;

json eventJson(const char* event) { return {{"type", "event"}, {"event", event}}; }

tools::SteadyTime now() { return std::chrono::steady_clock::now(); }

}  // namespace

std::string socketErrorText(int code) { return std::string(std::strerror(code)) + " (" + std::to_string(code) + ")"; }

std::string connectionEndedText(int code) {
    if (code == END_OF_FILE_CODE) return "End of file: the server closed the connection (" + std::to_string(code) + ")";
    return socketErrorText(code);
}

std::optional<std::string> leftOutPositionCode(const std::string& utf8LogText) {
    const std::string prefix = LEFT_OUT_POSITION_PREFIX;
    if (utf8LogText.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return utf8LogText.substr(prefix.size());
}

void ConsoleListener::onTraderEvent(int kind, int code) {
    std::optional<Credentials> credentials;
    state.update([&](SessionFacts& facts) {
        if (kind == 0 && code == 0) {
            facts.connected = true;
            facts.closeReported = false;
            ++facts.connects;
            credentials = facts.credentials;
            facts.reconciler.connected();
            console.record("[event] connected", {eventJson("connected")});
        } else if (kind == 0) {
            ++facts.connectFailures;
            facts.lastConnectError = code;
            facts.sessionFailed = !facts.loggedIn;
            console.record("[event] connect failed: " + socketErrorText(code),
                           {{{"type", "event"}, {"event", "connect failed"}, {"code", code},
                             {"error", std::strerror(code)}}});
        } else {
            const bool alreadyReported = facts.closeReported && !facts.connected;
            facts.connected = false;
            facts.loggedIn = false;
            facts.closeReported = true;
            ++facts.connectionsEnded;
            // Queries on their way are never answered now.
            for (const tools::ReconcileResult& result : facts.reconciler.connectionEnded(now()))
                printReconciled(result);
            // 125 (ECANCELED): the receive of a connection we closed ourselves
            // (disconnect, release) was cut short; it may come before or
            // after the module's own (1, 0), and says the same.
            if (code == 0 || code == ECANCELED) {
                if (!alreadyReported) console.record("[event] connection closed", {eventJson("connection closed")});
            } else {
                const std::string why = connectionEndedText(code);
                console.record("[event] connection ended: " + why,
                               {{{"type", "event"}, {"event", "connection ended"}, {"code", code}, {"error", why}}});
            }
        }
    });
    kra::ITraderApi* api = trader.load();
    if (credentials && api != nullptr) {
        console.record("[event] logging in as " + credentials->user,
                       {{{"type", "event"}, {"event", "logging in"}, {"user", credentials->user}}});
        api->login(credentials->user.c_str(), credentials->password.c_str(), credentials->resource.c_str());
    }
}

void ConsoleListener::onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) {
    const std::string text = readableText(message != nullptr ? message : "");
    auto noteLogin = [&](SessionFacts& facts) {
        ++facts.loginResults;
        facts.tradingDate = tradingDate;
        facts.loggedIn = succeeded;
        if (succeeded) {
            facts.sessionFailed = false;
            ++facts.logins;
            facts.reconciler.loggedIn(tradingDate);
            const std::string user = facts.credentials ? facts.credentials->user : std::string("?");
            console.record("[event] logged in as " + user + ", trading date " + std::to_string(tradingDate),
                           {{{"type", "event"}, {"event", "logged in"}, {"user", user}, {"tradingDate", tradingDate}}});
        } else {
            ++facts.loginRefusals;
            facts.loginMessage = text;
            facts.sessionFailed = true;
            console.record("[event] login refused: " + text,
                           {{{"type", "event"}, {"event", "login refused"}, {"reason", text}}});
        }
        // The book is compared with the server after every successful login.
        return succeeded && facts.reconcileAfterLogin;
    };
    kra::ITraderApi* api = trader.load();
    if (api != nullptr) {
        reconcileIf(state, *api, true, noteLogin);
    } else {
        state.update(noteLogin);
    }
}

void ConsoleListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    state.update([&](SessionFacts& facts) {
        const bool known = facts.noteInsertAnswered(entrust->userTag, error == nullptr, entrust->entrustId);
        json object = entrustJson(*entrust);
        object["type"] = "answer";
        object["answer"] = "order";
        object["accepted"] = error == nullptr;
        if (error == nullptr) {
            console.record("[answer] order accepted: order " + entrust->entrustId + ", " + describeEntrust(*entrust),
                           {object});
        } else {
            const std::string reason = readableText(error->message);
            object["reason"] = reason;
            console.record("[answer] order refused: " + reason + " (" + describeEntrust(*entrust) + ")", {object});
        }
        if (!known) console.error("[warn] the answer above carries tag '" + entrust->userTag + "', which no order sent");
    });
}

void ConsoleListener::printQueryAnswer(const char* title, const RecordTable& table,
                                       const std::vector<std::string>& leftOut) {
    state.update([&](SessionFacts& facts) {
        std::string text = std::string("[answer] ") + title + ":\n" + tableText(table);
        for (const std::string& code : leftOut)
            text += "\n(left out by the adapter: " + code + " is not in the host's contract catalog)";
        std::vector<json> objects;
        for (json& row : tableRows(table)) {
            row["type"] = "row";
            row["answer"] = title;
            objects.push_back(std::move(row));
        }
        json summary = {{"type", "answer"}, {"answer", title}, {"rows", table.rows.size()}};
        if (std::string(title) == "positions") summary["leftOut"] = leftOut;
        objects.push_back(std::move(summary));
        console.record(text, std::move(objects));
        if (facts.pendingQueries > 0) --facts.pendingQueries;
    });
}

void ConsoleListener::onAccountAnswer(kra::NXSArray* accounts) { printQueryAnswer("funds", fundsRecords(*accounts)); }

void ConsoleListener::onPositionsAnswer(kra::NXSArray* positions) {
    std::vector<std::string> leftOut;
    {
        std::lock_guard<std::mutex> guard(leftOutLock);
        leftOut.swap(leftOutPositions);
    }
    state.update([&](SessionFacts& facts) { facts.reconciler.book.setServerPositions(tools::serverPositions(*positions)); });
    printQueryAnswer("positions", positionsRecords(*positions), leftOut);
}

void ConsoleListener::onOrdersAnswer(kra::NXSArray* orders) {
    // A reconciliation's answer goes to the book, the host's own is printed.
    const bool reconciling = state.update([&](SessionFacts& facts) {
        const std::optional<uint64_t> id = facts.reconciler.route(tools::Reconciler::Answer::Orders);
        if (id) facts.reconciler.takeOrders(*id, tools::bookOrders(*orders));
        return id.has_value();
    });
    if (!reconciling) printQueryAnswer("orders", ordersRecords(*orders));
}

void ConsoleListener::onTradesAnswer(kra::NXSArray* trades) {
    const bool reconciling = state.update([&](SessionFacts& facts) {
        const std::optional<uint64_t> id = facts.reconciler.route(tools::Reconciler::Answer::Trades);
        if (!id) return false;
        if (auto result = facts.reconciler.takeFills(*id, tools::bookFills(*trades), now())) printReconciled(*result);
        return true;
    });
    if (!reconciling) printQueryAnswer("trades", tradesRecords(*trades));
}

void ConsoleListener::printReconciled(const tools::ReconcileResult& result) {
    PrintedRecord printed = reconcileRecord(result);
    console.record(printed.text, std::move(printed.objects));
}

void ConsoleListener::onOrderPush(kra::NXSOrderInfo* order) {
    state.update([&](SessionFacts& facts) {
        const bool fresh = facts.noteOrderPush(tools::bookOrder(*order, tools::OrderSource::Push));
        json object = orderPushJson(*order);
        object["type"] = "push";
        object["push"] = "order";
        object["duplicate"] = !fresh;
        console.record("[push] " + describeOrderPush(*order) + (fresh ? "" : "  (DUPLICATE)"), {object});
    });
}

void ConsoleListener::onTradePush(kra::NXSTradeInfo* trade) {
    state.update([&](SessionFacts& facts) {
        const bool fresh = facts.noteTradePush(tools::bookFill(*trade));
        json object = tradePushJson(*trade);
        object["type"] = "push";
        object["push"] = "trade";
        object["duplicate"] = !fresh;
        console.record("[push] " + describeTradePush(*trade) + (fresh ? "" : "  (DUPLICATE)"), {object});
    });
}

void ConsoleListener::onTraderError(kra::NXSError* error) {
    state.update([&](SessionFacts& facts) {
        const std::string orderId = facts.noteCancelRefused();
        const std::string order = orderId.empty() ? std::string() : " of order " + orderId;
        const std::string reason = readableText(error->message);
        console.record("[answer] cancel" + order + " refused: " + reason,
                       {{{"type", "answer"}, {"answer", "cancel"}, {"accepted", false}, {"code", error->code},
                         {"orderId", orderId}, {"reason", reason}}});
    });
}

void ConsoleListener::logMessage(int level, const char* format, ...) {
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    const std::string text = formatLogLine(format, args);
    va_end(args);
    const std::string utf8 = gbkToUtf8(text);
    if (level == kra::LOG_LEVEL_WARN) {
        if (auto code = leftOutPositionCode(utf8)) {
            std::lock_guard<std::mutex> guard(leftOutLock);
            leftOutPositions.push_back(*code);
        }
        // A warning at a login (a new trading day, say) goes with the
        // reconciliation that follows it.
        state.update([&](SessionFacts& facts) { facts.reconciler.noteWarning(utf8); });
    }
    if (level < minimumLogLevel) return;
    console.record(std::string("[log ") + levelWord(level) + "] " + utf8,
                   {{{"type", "log"}, {"level", levelWord(level)}, {"levelCode", level}, {"text", utf8}}});
}

}  // namespace hvr::cli
