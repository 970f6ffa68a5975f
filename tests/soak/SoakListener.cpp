#include "SoakListener.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "SimRecords.h"
#include "SocketTable.h"
#include "texts/LogText.h"

namespace hvr::soak {

namespace {

constexpr int LEVEL_WARN = 103;
constexpr int OPERATION_ABORTED = 125;  // what a receive cut off by our own close reports
constexpr std::size_t LOG_RING = 40;

thread_local bool hostThread = false;
thread_local Seq hostEventSeq = 0;

uint32_t toId(const std::string& text) {
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

bool is(const char* format, const char* known) { return std::strcmp(format, known) == 0; }

}  // namespace

const char* callbackName(Callback c) {
    static const char* const names[CALLBACK_COUNT] = {
        "onTraderEvent",  "onLoginResult",  "onEntrustAnswer", "onAccountAnswer", "onPositionsAnswer",
        "onOrdersAnswer", "onTradesAnswer", "onOrderPush",     "onTradePush",     "onTraderError"};
    return names[static_cast<int>(c)];
}

int userOfTag(const std::string& tag) { return tag.rfind(SECOND_USER_TAG, 0) == 0 ? 1 : 0; }

void markHostThread() {
    hostThread = true;
}
bool onHostThread() {
    return hostThread;
}
Seq lastHostEventSeq() {
    return hostEventSeq;
}

SoakListener::SoakListener(Journal& journal, std::vector<std::pair<std::string, std::string>> users,
                           std::string runTag)
    : journal(journal),
      users(std::move(users)),
      runTag(std::move(runTag)),
      logRing(LOG_RING) {
    catalog.addInstrument("IF2412", 300, "CNY", "CFFEX");
}

void SoakListener::attach(kra::ITraderApi* newTrader, int newObject) {
    objectNumber.store(newObject);
    trader.store(newTrader);
}

void SoakListener::setThrowRates(const std::array<double, CALLBACK_COUNT>& newRates, uint64_t seed) {
    std::lock_guard<std::mutex> guard(policyLock);
    rates = newRates;
    rng.seed(seed);
}

void SoakListener::armThrowOnce(Callback c) {
    std::lock_guard<std::mutex> guard(policyLock);
    throwOnce[static_cast<int>(c)] = true;
}

bool SoakListener::armedThrowsFired() {
    std::lock_guard<std::mutex> guard(policyLock);
    return std::none_of(throwOnce.begin(), throwOnce.end(), [](bool armed) { return armed; });
}

int SoakListener::request(RequestKind kind, const std::string& key, const std::function<int()>& call, int user) {
    const int obj = objectNumber.load();
    std::size_t index = 0;
    journal.record([&](JournalData& d, Seq s) {
        index = d.requests.size();
        RequestRecord r;
        r.started = s;
        r.startedAt = steadyNow();
        r.object = obj;
        r.kind = kind;
        r.key = key;
        r.user = user;
        d.requests.push_back(r);
    });
    const int result = call();
    journal.record([&](JournalData& d, Seq s) {
        d.requests[index].ended = s;
        d.requests[index].endedAt = steadyNow();
        d.requests[index].refused = result == kra::REQUEST_REFUSED;
    });
    return result;
}

int SoakListener::login(int user) {
    kra::ITraderApi* t = trader.load();
    if (t == nullptr) return kra::REQUEST_REFUSED;
    const std::string resource = "soak-" + runTag + "-login-" + std::to_string(++logins);
    const std::pair<std::string, std::string>& account = users.at(static_cast<std::size_t>(user));
    lastLoginUser.store(user);
    return request(
        RequestKind::Login, resource,
        [&] { return t->login(account.first.c_str(), account.second.c_str(), resource.c_str()); }, user);
}

std::string SoakListener::entrustId() {
    kra::ITraderApi* t = trader.load();
    return t == nullptr ? std::string() : recordEntrustId(t);
}

std::string SoakListener::recordEntrustId(kra::ITraderApi* t) {
    char id[64] = {};
    if (!t->makeEntrustId(id, sizeof id)) return std::string();
    const std::string text = id;
    const int obj = objectNumber.load();
    journal.record([&](JournalData& d, Seq s) { d.entrustIds.push_back({s, obj, text}); });
    return text;
}

void SoakListener::maybeThrow(Callback c) {
    if (hostThread) return;
    bool fire = false;
    {
        std::lock_guard<std::mutex> guard(policyLock);
        if (throwOnce[static_cast<int>(c)]) {
            throwOnce[static_cast<int>(c)] = false;
            fire = true;
        } else {
            const double rate = rates[static_cast<int>(c)];
            fire = rate > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < rate;
        }
    }
    if (!fire) return;
    // The probe's answer is the next thing this connection must deliver.
    kra::ITraderApi* t = trader.load();
    if (probes.load() && t != nullptr) request(RequestKind::QueryAccount, "", [&] { return t->queryAccount(); });
    const int obj = objectNumber.load();
    journal.record([&](JournalData& d, Seq seq) { d.throwsOnNetworkThread.push_back({seq, obj, steadyNow()}); });
    throw std::runtime_error(std::string("soak listener throws from ") + callbackName(c));
}

std::string SoakListener::someOrderId(uint64_t pick) {
    std::lock_guard<std::mutex> guard(policyLock);
    return orderIds.empty() ? std::string() : orderIds[pick % orderIds.size()];
}

void SoakListener::onTraderEvent(int kind, int code) {
    const int obj = objectNumber.load();
    const bool host = hostThread;
    uint16_t localPort = 0;
    if (!host && kind == 0 && code == 0) {
        // The connection just reported: the module's socket is the only
        // established one to the simulator's port. A read of the table that
        // changes meanwhile may miss it: read again, a few times.
        std::vector<TcpSocket> table;
        for (int read = 0; read < 3 && localPort == 0; ++read) {
            table = parseTcpTable(readTcpTable());
            if (const auto port = clientPortTo(table, serverPort.load())) localPort = *port;
        }
        if (smallSendBuffers.load()) {
            const int fd = localPort == 0 ? -1 : socketDescriptorOf(table, localPort, serverPort.load());
            const int smallest = 1;  // the system raises it to its minimum
            if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest) != 0)
                ++sendBuffersNotSet;
        }
    }
    const Seq seq = journal.record([&](JournalData& d, Seq s) {
        d.events.push_back({s, obj, kind, code, host, localPort, steadyNow()});
        if (!host && kind == 1 && code != 0 && code != OPERATION_ABORTED && dropsAreFaults.load())
            d.faults.push_back({s, "connection closed by the simulator (code " + std::to_string(code) + ")",
                                steadyNow()});
    });
    if (host) hostEventSeq = seq;
    if (!host && kind == 1 && code == OPERATION_ABORTED)
        if (const int64_t hold = abortedEndHold.exchange(0); hold > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(hold));
    if (!host && kind == 0 && code == 0 && autoLogin.load()) login();
    maybeThrow(Callback::Event);
}

void SoakListener::onLoginResult(bool succeeded, const char*, uint32_t) {
    uint32_t session = 0;
    kra::ITraderApi* t = trader.load();
    if (succeeded && t != nullptr) {
        // The entrust id is "date.session.sequence"; its session is the one
        // this answer just stored (this is the thread that stores it).
        const std::string id = recordEntrustId(t);
        const std::size_t dot = id.find('.');
        if (dot != std::string::npos) session = static_cast<uint32_t>(std::strtoul(id.c_str() + dot + 1, nullptr, 10));
    }
    const int obj = objectNumber.load();
    const int user = lastLoginUser.load();
    journal.record([&](JournalData& d, Seq s) { d.logins.push_back({s, obj, succeeded, session, user}); });
    maybeThrow(Callback::Login);
}

void SoakListener::onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError* error) {
    const std::string tag = entrust->userTag;
    const bool refused = error != nullptr;
    const int obj = objectNumber.load();
    journal.record([&](JournalData& d, Seq s) { d.entrusts.push_back({s, obj, tag, refused}); });
    if (!refused) {
        std::lock_guard<std::mutex> guard(policyLock);
        orderIds.push_back(entrust->entrustId);
    }
    maybeThrow(Callback::Entrust);
}

void SoakListener::answer(RequestKind kind, Callback c) {
    const int obj = objectNumber.load();
    journal.record([&](JournalData& d, Seq s) { d.queryAnswers.push_back({s, obj, kind}); });
    maybeThrow(c);
}

void SoakListener::push(const PushKey& key, const std::string& tag, Callback c) {
    const int obj = objectNumber.load();
    const int user = userOfTag(tag);
    // The module stores a push's id after its callback returned and before
    // it delivers anything else: here the file holds the last one's.
    const int64_t flowAtStart =
        static_cast<std::size_t>(user) < flowFiles.size() ? readFlowPushId(flowFiles[static_cast<std::size_t>(user)]) : -1;
    std::size_t index = 0;
    journal.record([&](JournalData& d, Seq s) {
        index = d.pushes.size();
        d.pushes.push_back({s, 0, obj, key, tag, flowAtStart, user});
    });
    // The module stores the push id into the flow record after this returns.
    journal.record([&](JournalData& d, Seq s) { d.pushes[index].exited = s; });
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
    const int obj = objectNumber.load();
    journal.record([&](JournalData& d, Seq s) { d.otherCallbacks.push_back({s, obj}); });
    maybeThrow(Callback::TraderError);
}

void SoakListener::logMessage(int level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    noteLogLine(level, format, text);
    std::lock_guard<std::mutex> guard(policyLock);
    logRing[logNext++ % LOG_RING] = std::to_string(level) + " " + text;
}

void SoakListener::noteLogLine(int level, const char* format, const char* text) {
    const int obj = objectNumber.load();
    SendLine line;
    line.object = obj;
    if (is(format, LOG_SEND_ERROR) && std::sscanf(text, LOG_SEND_ERROR, &line.requests, &line.sentWhole) == 2) {
        line.what = SendLine::Dropped;
    } else if (is(format, LOG_SEND_PUT_BACK) && std::sscanf(text, LOG_SEND_PUT_BACK, &line.requests) == 1) {
        line.what = SendLine::PutBack;
    } else if (is(format, LOG_UNSENT_AT_CLOSE) && std::sscanf(text, LOG_UNSENT_AT_CLOSE, &line.requests) == 1) {
        line.what = SendLine::Released;
    } else if (is(format, LOG_UNCONFIRMED_AT_CLOSE) &&
               std::sscanf(text, LOG_UNCONFIRMED_AT_CLOSE, &line.requests) == 1) {
        line.what = SendLine::Unacknowledged;
        line.sentWhole = line.requests;
    } else {
        if (is(format, LOG_CONNECT_START))
            journal.record([&](JournalData& d, Seq s) { d.startLines.push_back({s, obj, steadyNow()}); });
        if (is(format, LOG_CONNECT_OK))
            journal.record([&](JournalData& d, Seq s) { d.connectedLines.push_back({s, obj, steadyNow()}); });
        if (is(format, LOG_LOOP_ERROR)) journal.record([](JournalData& d, Seq s) { d.loopErrorLines.push_back(s); });
        if (level == LEVEL_WARN && (is(format, LOG_BAD_HEADER) || is(format, LOG_PACKET_TOO_LARGE)))
            journal.record([](JournalData& d, Seq s) { d.framingLines.push_back(s); });
        return;
    }
    journal.record([&](JournalData& d, Seq s) {
        line.seq = s;
        d.sendLines.push_back(line);
    });
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
