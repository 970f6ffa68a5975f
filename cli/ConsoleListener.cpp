#include "cli/ConsoleListener.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/GbkText.h"
#include "cli/RecordTables.h"
#include "cli/RecordWords.h"

namespace hvr::cli {

namespace {

const char* levelWord(int level) {
    switch (level) {
        case kra::LOG_LEVEL_INFO: return "info";
        case kra::LOG_LEVEL_WARN: return "warn";
        case kra::LOG_LEVEL_ERROR: return "error";
        default: return "log";
    }
}

std::string formatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) return format;
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    return std::string(text.data(), static_cast<std::size_t>(length));
}

}  // namespace

std::string socketErrorText(int code) { return std::string(std::strerror(code)) + " (" + std::to_string(code) + ")"; }

void ConsoleListener::onTraderEvent(int kind, int code) {
    std::optional<Credentials> credentials;
    state.update([&](SessionFacts& facts) {
        if (kind == 0 && code == 0) {
            facts.connected = true;
            ++facts.connects;
            credentials = facts.credentials;
            console.print("[event] connected");
        } else if (kind == 0) {
            ++facts.connectFailures;
            facts.lastConnectError = code;
            facts.sessionFailed = !facts.loggedIn;
            console.print("[event] connect failed: " + socketErrorText(code));
        } else {
            facts.connected = false;
            facts.loggedIn = false;
            ++facts.connectionsEnded;
            console.print(code == 0 ? std::string("[event] connection closed")
                                    : "[event] connection ended (error code " + std::to_string(code) + ")");
        }
    });
    kra::ITraderApi* api = trader.load();
    if (credentials && api != nullptr) {
        console.print("[event] logging in as " + credentials->user);
        api->login(credentials->user.c_str(), credentials->password.c_str(), credentials->resource.c_str());
    }
}

void ConsoleListener::onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) {
    const std::string text = gbkToUtf8(message != nullptr ? message : "");
    state.update([&](SessionFacts& facts) {
        ++facts.loginResults;
        facts.tradingDate = tradingDate;
        facts.loggedIn = succeeded;
        if (succeeded) {
            facts.sessionFailed = false;
            ++facts.logins;
            const std::string user = facts.credentials ? facts.credentials->user : std::string("?");
            console.print("[event] logged in as " + user + ", trading date " + std::to_string(tradingDate));
        } else {
            ++facts.loginRefusals;
            facts.loginMessage = text;
            facts.sessionFailed = true;
            console.print("[event] login refused: " + text);
        }
    });
}

void ConsoleListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    state.update([&](SessionFacts& facts) {
        const bool known = facts.noteInsertAnswered(entrust->userTag, error == nullptr, entrust->entrustId);
        if (error == nullptr) {
            console.print("[answer] order accepted: order " + entrust->entrustId + ", " + describeEntrust(*entrust));
        } else {
            console.print("[answer] order refused: " + gbkToUtf8(error->message) + " (" + describeEntrust(*entrust) +
                          ")");
        }
        if (!known) console.print("[warn] the answer above carries tag '" + entrust->userTag + "', which no order sent");
    });
}

void ConsoleListener::printQueryAnswer(const char* title, const std::string& table) {
    state.update([&](SessionFacts& facts) {
        console.print(std::string("[answer] ") + title + ":\n" + table);
        if (facts.pendingQueries > 0) --facts.pendingQueries;
    });
}

void ConsoleListener::onAccountAnswer(kra::NXSArray* accounts) { printQueryAnswer("funds", fundsTable(*accounts)); }

void ConsoleListener::onPositionsAnswer(kra::NXSArray* positions) {
    printQueryAnswer("positions", positionsTable(*positions));
}

void ConsoleListener::onOrdersAnswer(kra::NXSArray* orders) { printQueryAnswer("orders", ordersTable(*orders)); }

void ConsoleListener::onTradesAnswer(kra::NXSArray* trades) { printQueryAnswer("trades", tradesTable(*trades)); }

void ConsoleListener::onOrderPush(kra::NXSOrderInfo* order) {
    state.update([&](SessionFacts& facts) {
        const bool fresh = facts.noteOrderPush(order->orderId, static_cast<char>(order->orderState),
                                               order->tradedVolume, order->leftVolume);
        console.print("[push] " + describeOrderPush(*order) + (fresh ? "" : "  (DUPLICATE)"));
    });
}

void ConsoleListener::onTradePush(kra::NXSTradeInfo* trade) {
    state.update([&](SessionFacts& facts) {
        const bool fresh = facts.noteTradePush(trade->tradeId);
        console.print("[push] " + describeTradePush(*trade) + (fresh ? "" : "  (DUPLICATE)"));
    });
}

void ConsoleListener::onTraderError(kra::NXSError* error) {
    state.update([&](SessionFacts& facts) {
        const std::string order = facts.pendingCancels.empty() ? std::string() : " of order " + facts.pendingCancels.front();
        facts.noteCancelRefused();
        console.print("[answer] cancel" + order + " refused: " + gbkToUtf8(error->message));
    });
}

void ConsoleListener::logMessage(int level, const char* format, ...) {
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    console.print(std::string("[log ") + levelWord(level) + "] " + gbkToUtf8(text));
}

}  // namespace hvr::cli
