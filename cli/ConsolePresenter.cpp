#include "cli/ConsolePresenter.h"

#include <cerrno>
#include <cstring>

#include "cli/BookOutput.h"
#include "cli/RecordTables.h"
#include "cli/RecordWords.h"
#include "common/SessionState.h"
#include "common/TradeWords.h"

using nlohmann::json;

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

// The receive error the adapter reports when the server closes the
// connection: Asio's end of file (a value of its own category, not errno).
constexpr int END_OF_FILE_CODE = 2;

// "  (replayed)", "  (DUPLICATE)", both, or nothing, after a push's words.
std::string pushMarks(bool replayed, bool duplicate) {
    return std::string(replayed ? "  (replayed)" : "") + (duplicate ? "  (DUPLICATE)" : "");
}

json eventJson(const char* event) { return {{"type", "event"}, {"event", event}}; }

json queryWords(const std::vector<tools::QueryKind>& kinds) {
    json words = json::array();
    for (tools::QueryKind kind : kinds) words.push_back(tools::queryKindWord(kind));
    return words;
}

}  // namespace

std::string socketErrorText(int code) { return std::string(std::strerror(code)) + " (" + std::to_string(code) + ")"; }

std::string connectionEndedText(int code) {
    if (code == END_OF_FILE_CODE) return "End of file: the server closed the connection (" + std::to_string(code) + ")";
    return socketErrorText(code);
}

json doubtJson(const tools::Doubt& d) {
    return {{"kind", tools::doubtKindWord(d.kind)}, {"user", d.user}, {"tag", d.tag}, {"orderId", d.orderId},
            {"text", tools::describeDoubt(d)}};
}

void ConsolePresenter::connecting() {
    std::lock_guard<std::mutex> hold(lock);
    closeReported = false;
}

// Prints one event; a visitor over the core's events.
struct ConsolePresenter::Printer {
    ConsolePresenter& self;
    Console& console;

    void operator()(const tools::ConnectionEvent& e) const {
        if (e.kind == 0 && e.code == 0) {
            {
                std::lock_guard<std::mutex> hold(self.lock);
                self.connected = true;
                self.closeReported = false;
            }
            console.record("[event] connected", {eventJson("connected")});
        } else if (e.kind == 0) {
            console.record("[event] connect failed: " + socketErrorText(e.code),
                           {{{"type", "event"}, {"event", "connect failed"}, {"code", e.code},
                             {"error", std::strerror(e.code)}}});
        } else {
            bool alreadyReported = false;
            {
                std::lock_guard<std::mutex> hold(self.lock);
                alreadyReported = self.closeReported && !self.connected;
                self.connected = false;
                self.closeReported = true;
            }
            // 125 (ECANCELED): the receive of a connection we closed ourselves
            // (disconnect, release) was cut short; it may come before or
            // after the module's own (1, 0), and says the same.
            if (e.code == 0 || e.code == ECANCELED) {
                if (!alreadyReported) console.record("[event] connection closed", {eventJson("connection closed")});
            } else {
                const std::string why = connectionEndedText(e.code);
                console.record("[event] connection ended: " + why,
                               {{{"type", "event"}, {"event", "connection ended"}, {"code", e.code}, {"error", why}}});
            }
        }
    }
    void operator()(const tools::LoginSentEvent& e) const {
        json object = {{"type", "event"}, {"event", "logging in"}, {"user", e.user}, {"automatic", e.automatic}};
        if (!e.previousUser.empty()) {
            object["previousUser"] = e.previousUser;
            console.record("[event] logging out " + e.previousUser + " to log in as " + e.user, {object});
            return;
        }
        console.record("[event] logging in as " + e.user, {object});
    }
    void operator()(const tools::LoginEvent& e) const {
        if (e.succeeded) {
            console.record("[event] logged in as " + e.user + ", trading date " + std::to_string(e.tradingDate),
                           {{{"type", "event"}, {"event", "logged in"}, {"user", e.user},
                             {"tradingDate", e.tradingDate}}});
        } else {
            console.record("[event] login refused: " + e.message,
                           {{{"type", "event"}, {"event", "login refused"}, {"user", e.user}, {"reason", e.message}}});
        }
    }
    void operator()(const tools::LoginRefusedEvent& e) const {
        std::string text;
        if (e.automatic) {
            text = "[event] " + e.user + " was refused at the login after a reconnect: no more logins by " +
                   "itself; nobody is logged in (use login to try again)";
        } else if (!e.restoringUser.empty()) {
            text = "[event] " + e.user + " was refused and is not tried again; logging " + e.restoringUser +
                   " in again";
        } else {
            text = "[event] " + e.user + " was refused and is not tried again; nobody is logged in";
        }
        console.record(text, {{{"type", "event"}, {"event", "login stopped"}, {"user", e.user},
                               {"automatic", e.automatic}, {"restoring", e.restoringUser}, {"reason", e.message}}});
    }
    void operator()(const tools::EntrustAnswerEvent& e) const {
        json object = entrustJson(e.entrust);
        object["type"] = "answer";
        object["answer"] = "order";
        object["accepted"] = !e.refused;
        if (!e.refused) {
            console.record("[answer] order accepted: order " + e.entrust.entrustId + ", " + describeEntrust(e.entrust),
                           {object});
        } else {
            object["reason"] = e.errorText;
            console.record("[answer] order refused: " + e.errorText + " (" + describeEntrust(e.entrust) + ")", {object});
        }
        if (!e.expected)
            console.error("[warn] the answer above carries tag '" + e.entrust.userTag + "', which no order sent");
    }
    void operator()(const tools::CancelRefusedEvent& e) const {
        const std::string order = e.orderId.empty() ? std::string() : " of order " + e.orderId;
        console.record("[answer] cancel" + order + " refused: " + e.message,
                       {{{"type", "answer"}, {"answer", "cancel"}, {"accepted", false}, {"code", e.code},
                         {"orderId", e.orderId}, {"reason", e.message}}});
    }
    void operator()(const tools::AccountsEvent& e) const { printQueryAnswer("funds", fundsRecords(e.accounts)); }
    void operator()(const tools::PositionsEvent& e) const {
        printQueryAnswer("positions", positionsRecords(e.positions), &e.leftOut);
    }
    void operator()(const tools::OrdersEvent& e) const { printQueryAnswer("orders", ordersRecords(e.orders)); }
    void operator()(const tools::TradesEvent& e) const { printQueryAnswer("trades", tradesRecords(e.trades)); }
    void operator()(const tools::OrderPushEvent& e) const {
        json object = orderPushJson(e.order);
        object["type"] = "push";
        object["push"] = "order";
        object["duplicate"] = e.duplicate;
        object["replayed"] = e.replayed;
        console.record("[push] " + describeOrderPush(e.order) + pushMarks(e.replayed, e.duplicate), {object});
    }
    void operator()(const tools::TradePushEvent& e) const {
        json object = tradePushJson(e.trade);
        object["type"] = "push";
        object["push"] = "trade";
        object["duplicate"] = e.duplicate;
        object["replayed"] = e.replayed;
        console.record("[push] " + describeTradePush(e.trade) + pushMarks(e.replayed, e.duplicate), {object});
    }
    void operator()(const tools::ReconciledEvent& e) const {
        PrintedRecord printed = reconcileRecord(e.result);
        console.record(printed.text, std::move(printed.objects));
    }
    void operator()(const tools::NewDayCheckedEvent& e) const {
        console.record("[book] " + tools::describeNewDayCheck(e),
                       {{{"type", "newDay"}, {"user", e.user}, {"tradingDate", e.tradingDate},
                         {"nothingMissing", e.nothingMissing()}, {"missingOrders", e.missingOrders},
                         {"missingFills", e.missingFills}, {"otherDifferences", e.otherDifferences},
                         {"warning", e.warning}, {"text", tools::describeNewDayCheck(e)}}});
    }
    void operator()(const tools::InDoubtEvent& e) const {
        std::string text = "[doubt] the connection ended before an answer to";
        std::vector<json> objects;
        for (const tools::Doubt& d : e.doubts) {
            text += "\n  " + tools::describeDoubt(d) + ": in doubt until the next login of " + d.user;
            json object = doubtJson(d);
            object["type"] = "doubt";
            object["state"] = "in doubt";
            objects.push_back(std::move(object));
        }
        for (tools::QueryKind kind : e.lostQueries)
            text += std::string("\n  ") + tools::queryKindWord(kind) + " query: will not be answered";
        if (!e.lostQueries.empty())
            objects.push_back({{"type", "doubt"}, {"state", "lost queries"}, {"queries", queryWords(e.lostQueries)}});
        console.record(text, std::move(objects));
    }
    void operator()(const tools::DoubtResolvedEvent& e) const {
        const tools::DoubtResolution& r = e.resolution;
        json object = doubtJson(r.doubt);
        object["type"] = "doubt";
        object["state"] = "resolved";
        object["outcome"] = tools::doubtOutcomeWord(r.outcome);
        object["resolution"] = tools::describeOutcome(r);
        if (r.serverOrder) {
            object["serverOrderId"] = r.serverOrder->orderId;
            object["serverState"] = tools::orderStateWord(static_cast<unsigned char>(r.serverOrder->state));
        }
        console.record("[doubt] " + tools::describeDoubt(r.doubt) + ": " + tools::describeOutcome(r), {object});
    }
    void operator()(const tools::LogEvent& e) const {
        if (e.level < self.minimumLogLevel) return;
        console.record(std::string("[log ") + levelWord(e.level) + "] " + e.text,
                       {{{"type", "log"}, {"level", levelWord(e.level)}, {"levelCode", e.level}, {"text", e.text}}});
    }

    void printQueryAnswer(const char* title, const RecordTable& table,
                          const std::vector<std::string>* leftOut = nullptr) const {
        std::string text = std::string("[answer] ") + title + ":\n" + tableText(table);
        if (leftOut != nullptr) {
            for (const std::string& code : *leftOut)
                text += "\n(left out by the adapter: " + code + " is not in the host's contract catalog)";
        }
        std::vector<json> objects;
        for (json& row : tableRows(table)) {
            row["type"] = "row";
            row["answer"] = title;
            objects.push_back(std::move(row));
        }
        json summary = {{"type", "answer"}, {"answer", title}, {"rows", table.rows.size()}};
        if (leftOut != nullptr) summary["leftOut"] = *leftOut;
        objects.push_back(std::move(summary));
        console.record(text, std::move(objects));
    }
};

void ConsolePresenter::onSessionEvent(const tools::SessionEvent& event, std::chrono::system_clock::time_point) {
    std::visit(Printer{*this, console}, event);
}

void ConsolePresenter::printDoubts(const std::vector<tools::Doubt>& doubts) {
    std::string text = doubts.empty() ? std::string("no request in doubt")
                                      : tools::countOf(doubts.size(), "request", "requests") + " in doubt:";
    json list = json::array();
    for (const tools::Doubt& d : doubts) {
        text += "\n  " + tools::describeDoubt(d) + " (" + d.user + ")";
        list.push_back(doubtJson(d));
    }
    console.record(text, {{{"type", "doubts"}, {"count", doubts.size()}, {"doubts", list}}});
}

void ConsolePresenter::printUnanswered(const tools::Unanswered& u) {
    json object = {{"type", "unanswered"}, {"orders", u.orderTags}, {"cancels", u.cancelOrderIds},
                   {"queries", queryWords(u.queries)}, {"reconciliations", u.reconciliations},
                   {"text", tools::describeUnanswered(u)}};
    json doubts = json::array();
    for (const tools::Doubt& d : u.doubts) doubts.push_back(doubtJson(d));
    object["inDoubt"] = doubts;
    console.record("released with " + tools::describeUnanswered(u), {object});
}

}  // namespace hvr::cli
