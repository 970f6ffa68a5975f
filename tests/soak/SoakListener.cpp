#include "SoakListener.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace hvr::soak {

namespace {

// GBK bytes of the module's log texts the soak looks for.
constexpr const char SEND_ERROR_TEXT[] = "\xb7\xa2\xcb\xcd\xb3\xf6\xb4\xed";  // 发送出错
constexpr const char LOOP_ERROR_PREFIX[] =
    "[TraderHVR]\xcd\xf8\xc2\xe7\xc1\xac\xbd\xd3\xd2\xec\xb3\xa3";  // [TraderHVR]网络连接异常
// [TraderHVR]包 starts both lines of a packet refused by the framing.
constexpr const char FRAMING_PREFIX[] = "[TraderHVR]\xb0\xfc";
constexpr int LEVEL_WARN = 103;
constexpr int LEVEL_ERROR = 104;
constexpr int OPERATION_ABORTED = 125;  // what a receive cut off by our own close reports
constexpr std::size_t LOG_RING = 40;

thread_local bool hostThread = false;
thread_local Seq hostEventSeq = 0;

uint32_t toId(const std::string& text) {
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

const char* callbackName(Callback c) {
    static const char* const names[CALLBACK_COUNT] = {
        "onTraderEvent",  "onLoginResult",  "onEntrustAnswer", "onAccountAnswer", "onPositionsAnswer",
        "onOrdersAnswer", "onTradesAnswer", "onOrderPush",     "onTradePush",     "onTraderError"};
    return names[static_cast<int>(c)];
}

void markHostThread() {
    hostThread = true;
}
bool onHostThread() {
    return hostThread;
}
Seq lastHostEventSeq() {
    return hostEventSeq;
}

SoakListener::SoakListener(Journal& journal, std::string user, std::string password)
    : journal(journal), user(std::move(user)), password(std::move(password)), logRing(LOG_RING) {
    catalog.addInstrument("IF2412", 300, "CNY", "CFFEX");
}

void SoakListener::attach(kra::ITraderApi* newTrader, int newObject) {
    object.store(newObject);
    trader.store(newTrader);
}

void SoakListener::setThrowRates(const std::array<double, CALLBACK_COUNT>& newRates, uint64_t seed) {
    std::lock_guard<std::mutex> guard(policyLock);
    rates = newRates;
    rng.seed(seed);
}

void SoakListener::armThrowOnce(Callback c) {
    std::lock_guard<std::mutex> guard(policyLock);
    throwOnce = static_cast<int>(c);
}

void SoakListener::maybeThrow(Callback c) {
    if (hostThread) return;
    bool fire = false;
    {
        std::lock_guard<std::mutex> guard(policyLock);
        if (throwOnce == static_cast<int>(c)) {
            throwOnce = -1;
            fire = true;
        } else {
            const double rate = rates[static_cast<int>(c)];
            fire = rate > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < rate;
        }
    }
    if (!fire) return;
    journal.record([](JournalData& d, Seq seq) { d.throwsOnNetworkThread.push_back(seq); });
    throw std::runtime_error(std::string("soak listener throws from ") + callbackName(c));
}

std::string SoakListener::someOrderId(uint64_t pick) {
    std::lock_guard<std::mutex> guard(policyLock);
    return orderIds.empty() ? std::string() : orderIds[pick % orderIds.size()];
}

void SoakListener::onTraderEvent(int kind, int code) {
    const int obj = object.load();
    const bool host = hostThread;
    std::size_t index = 0;
    const Seq seq = journal.record([&](JournalData& d, Seq s) {
        index = d.events.size();
        d.events.push_back({s, obj, kind, code, host, true, s});
        if (!host && kind == 1 && code != 0 && code != OPERATION_ABORTED && dropsAreFaults.load())
            d.faults.push_back({s, "connection closed by the simulator (code " + std::to_string(code) + ")"});
    });
    if (host) hostEventSeq = seq;
    kra::ITraderApi* t = trader.load();
    if (!host && kind == 0 && code == 0 && t != nullptr) {
        const bool connected = t->isConnected();
        journal.record([&](JournalData& d, Seq s) {
            d.events[index].connectedAfter = connected;
            d.events[index].sampled = s;
        });
        if (autoLogin.load()) t->login(user.c_str(), password.c_str(), "soak");
    }
    maybeThrow(Callback::Event);
}

void SoakListener::onLoginResult(bool succeeded, const char*, uint32_t) {
    uint32_t session = 0;
    kra::ITraderApi* t = trader.load();
    if (succeeded && t != nullptr) {
        // The entrust id is "date.session.sequence"; its session is the one
        // this answer just stored (this is the thread that stores it).
        char id[64] = {};
        if (t->makeEntrustId(id, sizeof id)) {
            const char* dot = std::strchr(id, '.');
            if (dot != nullptr) session = static_cast<uint32_t>(std::strtoul(dot + 1, nullptr, 10));
        }
    }
    const int obj = object.load();
    journal.record([&](JournalData& d, Seq s) { d.logins.push_back({s, obj, succeeded, session}); });
    maybeThrow(Callback::Login);
}

void SoakListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    const std::string tag = entrust->userTag;
    const bool refused = error != nullptr;
    journal.record([&](JournalData& d, Seq s) { d.entrusts.push_back({s, tag, refused}); });
    if (!refused) {
        std::lock_guard<std::mutex> guard(policyLock);
        orderIds.push_back(entrust->entrustId);
    }
    maybeThrow(Callback::Entrust);
}

void SoakListener::answer(RequestKind kind, Callback c) {
    journal.record([&](JournalData& d, Seq s) { d.queryAnswers.push_back({s, kind}); });
    maybeThrow(c);
}

void SoakListener::push(const PushKey& key, const std::string& tag, Callback c) {
    const int obj = object.load();
    journal.record([&](JournalData& d, Seq s) { d.pushes.push_back({s, obj, key, tag}); });
    maybeThrow(c);
}

void SoakListener::onOrderPush(kra::NXSOrderInfo* order) {
    PushKey key;
    key.mtype = PUSH_ORDER;
    key.id = toId(order->orderId);
    key.state = order->orderState - '0';
    key.traded = order->tradedVolume;
    key.left = order->leftVolume;
    push(key, order->userTag, Callback::OrderPush);
}

void SoakListener::onTradePush(kra::NXSTradeInfo* trade) {
    PushKey key;
    key.mtype = PUSH_TRADE;
    key.id = toId(trade->tradeId);
    push(key, trade->userTag, Callback::TradePush);
}

void SoakListener::onTraderError(kra::NXSError*) {
    maybeThrow(Callback::TraderError);
}

void SoakListener::logMessage(int level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (level == LEVEL_ERROR) {
        if (std::strstr(text, SEND_ERROR_TEXT) != nullptr)
            journal.record([](JournalData& d, Seq s) { d.sendErrorLines.push_back(s); });
        if (std::strncmp(text, LOOP_ERROR_PREFIX, sizeof LOOP_ERROR_PREFIX - 1) == 0)
            journal.record([](JournalData& d, Seq s) { d.loopErrorLines.push_back(s); });
    }
    if (level == LEVEL_WARN && std::strncmp(text, FRAMING_PREFIX, sizeof FRAMING_PREFIX - 1) == 0)
        journal.record([](JournalData& d, Seq s) { d.framingLines.push_back(s); });
    std::lock_guard<std::mutex> guard(policyLock);
    logRing[logNext++ % LOG_RING] = std::to_string(level) + " " + text;
}

std::vector<std::string> SoakListener::recentLogs() {
    std::lock_guard<std::mutex> guard(policyLock);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < LOG_RING; ++i) {
        const std::string& line = logRing[(logNext + i) % LOG_RING];
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

}  // namespace hvr::soak
