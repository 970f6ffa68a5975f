#include "harness/TraderHarness.h"

#include <stdexcept>

#include "common/BookRecords.h"
#include "common/GbkText.h"

namespace hvr::e2e {

void RecordingListener::onTraderEvent(int kind, int code) {
    std::optional<cli::Credentials> credentials;
    state.update([&](cli::SessionFacts& f) {
        if (kind == 0 && code == 0) {
            f.connected = true;
            ++f.connects;
            credentials = f.credentials;
        } else if (kind == 0) {
            ++f.connectFailures;
            f.lastConnectError = code;
        } else {
            f.connected = false;
            f.loggedIn = false;
            ++f.connectionsEnded;
        }
    });
    if (credentials && trader != nullptr)
        trader->login(credentials->user.c_str(), credentials->password.c_str(), credentials->resource.c_str());
}

void RecordingListener::onLoginResult(bool succeeded, const char* message, uint32_t tradingDate) {
    state.update([&](cli::SessionFacts& f) {
        ++f.loginResults;
        f.loggedIn = succeeded;
        if (succeeded) ++f.logins;
        f.tradingDate = tradingDate;
        if (!succeeded) f.loginMessage = message != nullptr ? message : "";
    });
}

void RecordingListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    {
        std::lock_guard<std::mutex> guard(recordLock);
        ++answersByTag[entrust->userTag];
        if (error != nullptr) refusalTexts.push_back(tools::gbkToUtf8(error->message));
    }
    state.update([&](cli::SessionFacts& f) { f.noteInsertAnswered(entrust->userTag, error == nullptr, entrust->entrustId); });
}

void RecordingListener::onOrderPush(kra::NXSOrderInfo* order) {
    state.update([&](cli::SessionFacts& f) {
        f.noteOrderPush(tools::bookOrder(*order, tools::OrderSource::Push));
    });
}

void RecordingListener::onTradePush(kra::NXSTradeInfo* trade) {
    {
        std::lock_guard<std::mutex> guard(recordLock);
        pushedTradeIds.push_back(trade->tradeId);
    }
    state.update([&](cli::SessionFacts& f) { f.noteTradePush(tools::bookFill(*trade)); });
}

void RecordingListener::onTraderError(kra::NXSError*) {
    state.update([](cli::SessionFacts& f) { f.noteCancelRefused(); });
}

void RecordingListener::keepAnswer(int kind, kra::NXSArray* array) {
    array->retain();
    {
        std::lock_guard<std::mutex> guard(recordLock);
        answers[kind].reset(array);
    }
    state.update([](cli::SessionFacts& f) { --f.pendingQueries; });
}

TraderHarness::TraderHarness(const std::string& modulePath, kra::SimpleContractCatalog catalogIn)
    : catalog(std::move(catalogIn)), recorder(&catalog) {
    std::string error;
    module = tools::TraderModule::load(modulePath, error);
    if (!module) throw std::runtime_error("cannot load " + modulePath + ": " + error);
    trader = module->createTrader();
    if (trader == nullptr) throw std::runtime_error("createTrader returned null");
}

TraderHarness::~TraderHarness() {
    if (trader != nullptr) {
        trader->release();
        module->deleteTrader(trader);
    }
}

void TraderHarness::init(uint16_t port, const std::string& folder, int pushMode) {
    kra::NXSMapNode config;
    config.set("host", "127.0.0.1").set("port", std::to_string(port)).set("folder", folder);
    config.set("pushmode", std::to_string(pushMode));
    trader->init(&config);
    recorder.attach(trader);
    trader->registerListener(&recorder);
}

bool TraderHarness::connectAndLogin(const std::string& user, const std::string& password,
                                    std::chrono::milliseconds timeout) {
    recorder.state.update([&](cli::SessionFacts& f) { f.credentials = cli::Credentials{user, password, "e2e"}; });
    trader->connect();
    return recorder.state.waitUntil([](const cli::SessionFacts& f) { return f.loggedIn; }, timeout);
}

std::string TraderHarness::insert(const std::string& code, uint32_t volume, double price, char direction, char offset) {
    char tag[64];
    trader->makeEntrustId(tag, sizeof tag);
    kra::NXSEntrust* entrust = kra::NXSEntrust::create(code.c_str(), volume, price);
    entrust->direction = static_cast<kra::NXSCode>(direction);
    entrust->offsetType = static_cast<kra::NXSCode>(offset);
    entrust->priceType = '2';
    entrust->userTag = tag;
    recorder.state.update([&](cli::SessionFacts& f) { f.noteInsertSent(tag); });
    trader->orderInsert(entrust);
    entrust->release();
    return tag;
}

void TraderHarness::cancel(const std::string& orderId) {
    kra::NXSOrderAction* action = kra::NXSOrderAction::create();
    action->orderId = orderId;
    recorder.state.update([&](cli::SessionFacts& f) { f.noteCancelSent(orderId); });
    trader->orderCancel(action);
    action->release();
}

kra::NXSArray* TraderHarness::query(QueryKind kind, std::chrono::milliseconds timeout) {
    const int index = static_cast<int>(kind);
    {
        std::lock_guard<std::mutex> guard(recorder.recordLock);
        recorder.answers[index].reset();
    }
    recorder.state.update([](cli::SessionFacts& f) { ++f.pendingQueries; });
    switch (kind) {
        case QueryKind::Account: trader->queryAccount(); break;
        case QueryKind::Positions: trader->queryPositions(); break;
        case QueryKind::Orders: trader->queryOrders(); break;
        case QueryKind::Trades: trader->queryTrades(); break;
    }
    if (!recorder.state.waitUntil([](const cli::SessionFacts& f) { return f.pendingQueries == 0; }, timeout))
        return nullptr;
    std::lock_guard<std::mutex> guard(recorder.recordLock);
    return recorder.answers[index].get();
}

}  // namespace hvr::e2e
