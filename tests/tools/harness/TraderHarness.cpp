#include "harness/TraderHarness.h"

#include <stdexcept>

namespace hvr::e2e {

namespace {

using tools::QueryKind;

struct Record {
    RecordingObserver& r;
    void operator()(const tools::EntrustAnswerEvent& e) const {
        ++r.answersByTag[e.entrust.userTag];
        if (e.refused) r.refusalTexts.push_back(e.errorText);
    }
    void operator()(const tools::TradePushEvent& e) const { r.pushedTradeIds.push_back(e.trade.tradeId); }
    void operator()(const tools::AccountsEvent& e) const { answer(QueryKind::Account).accounts = e.accounts; }
    void operator()(const tools::PositionsEvent& e) const { answer(QueryKind::Positions).positions = e.positions; }
    void operator()(const tools::OrdersEvent& e) const { answer(QueryKind::Orders).orders = e.orders; }
    void operator()(const tools::TradesEvent& e) const { answer(QueryKind::Trades).trades = e.trades; }
    void operator()(const tools::InDoubtEvent& e) const { r.doubtEvents.push_back(e); }
    void operator()(const tools::DoubtResolvedEvent& e) const { r.doubtEvents.push_back(e); }
    template <typename Other>
    void operator()(const Other&) const {}

    QueryAnswer& answer(QueryKind kind) const {
        std::optional<QueryAnswer>& slot = r.answers[static_cast<int>(kind)];
        slot.emplace();
        return *slot;
    }
};

}  // namespace

void RecordingObserver::onSessionEvent(const tools::SessionEvent& event, std::chrono::system_clock::time_point) {
    std::lock_guard<std::mutex> guard(recordLock);
    std::visit(Record{*this}, event);
}

TraderHarness::TraderHarness(const std::string& modulePath, kra::SimpleContractCatalog catalogIn)
    : catalog(std::move(catalogIn)), session(observer, &catalog, false) {
    std::string error;
    module = tools::TraderModule::load(modulePath, error);
    if (!module) throw std::runtime_error("cannot load " + modulePath + ": " + error);
    trader = module->createTrader();
    if (trader == nullptr) throw std::runtime_error("createTrader returned null");
}

TraderHarness::~TraderHarness() {
    if (trader != nullptr) {
        trader->release();
        session.attach(nullptr);
        module->deleteTrader(trader);
    }
}

void TraderHarness::init(uint16_t port, const std::string& folder, int pushMode) {
    kra::NXSMapNode config;
    config.set("host", "127.0.0.1").set("port", std::to_string(port)).set("folder", folder);
    config.set("pushmode", std::to_string(pushMode));
    trader->init(&config);
    session.attach(trader);
    trader->registerListener(&session);
}

bool TraderHarness::connectAndLogin(const std::string& user, const std::string& password,
                                    std::chrono::milliseconds timeout) {
    session.login(tools::Credentials{user, password, "e2e"});
    trader->connect();
    return session.waitUntil([](const tools::SessionState& s) { return s.loggedIn(); }, timeout);
}

std::string TraderHarness::insert(const std::string& code, uint32_t volume, double price, char direction, char offset) {
    tools::OrderTicket ticket;
    ticket.code = code;
    ticket.volume = volume;
    ticket.price = price;
    ticket.direction = static_cast<uint32_t>(direction);
    ticket.offsetType = static_cast<uint32_t>(offset);
    return session.insert(ticket).tag;
}

void TraderHarness::cancel(const std::string& orderId) { session.cancel(orderId); }

std::optional<QueryAnswer> TraderHarness::query(QueryKind kind, std::chrono::milliseconds timeout) {
    const int index = static_cast<int>(kind);
    {
        std::lock_guard<std::mutex> guard(observer.recordLock);
        observer.answers[index].reset();
    }
    if (session.query(kind).status != tools::SendResult::Sent) return std::nullopt;
    session.waitUntil([](const tools::SessionState& s) { return s.unanswered().queries.empty(); }, timeout);
    std::lock_guard<std::mutex> guard(observer.recordLock);
    return observer.answers[index];
}

}  // namespace hvr::e2e
