#include "Companions.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <stdexcept>

#include "host/NXSConfigNode.h"
#include "texts/LogText.h"

namespace hvr::soak {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto WAIT_LIMIT = std::chrono::seconds(20);
constexpr double THROW_RATE = 0.2;  // the throwing companion's answers and pushes

bool waitUntil(const std::function<bool()>& done) {
    const Clock::time_point deadline = Clock::now() + WAIT_LIMIT;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

class Companions::Member final : public kra::ITraderListener {
public:
    Member(int index, double throwRate) : user(Companions::user(index)), throwRate(throwRate), rng(index) {}

    void configure(uint16_t port, const std::string& folder) {
        kra::NXSMapNode config;
        config.set("host", "127.0.0.1").set("port", std::to_string(port)).set("folder", folder);
        config.set("pushmode", "0").set("threads", "shared").set("poolthreads", "1");
        trader->init(&config);
        trader->registerListener(this);
    }

    void onTraderEvent(int kind, int code) override {
        network();
        note("(" + std::to_string(kind) + ", " + std::to_string(code) + ")");
        if (kind == 0 && code == 0) {
            trader->login(user.c_str(), "soak", "companion");
        } else if (kind == 1) {
            loggedIn = false;
        }
    }
    void onLoginResult(bool ok, const char*, uint32_t) override {
        network();
        loggedIn = ok;
        logins += ok;
    }
    void onEntrustAnswer(kra::NXSEntrust* entrust, kra::NXSError*) override {
        network();
        ++answers;
        if (entrust != nullptr && entrust->userTag == closingTag()) closingAnswered = true;
        maybeThrow();
    }
    void onAccountAnswer(kra::NXSArray*) override { answered(); }
    void onPositionsAnswer(kra::NXSArray*) override { answered(); }
    void onOrdersAnswer(kra::NXSArray*) override { answered(); }
    void onTradesAnswer(kra::NXSArray*) override { answered(); }
    void onOrderPush(kra::NXSOrderInfo*) override { answered(); }
    void onTradePush(kra::NXSTradeInfo*) override { answered(); }
    void onTraderError(kra::NXSError*) override { network(); }
    kra::IContractCatalog* getContractCatalog() override { return nullptr; }
    void logMessage(int level, const char* format, ...) override {
        if (std::strcmp(format, LOG_LOOP_ERROR) == 0) ++loopErrors;
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        note(std::to_string(level) + " " + text);
    }
    // The last events and lines, for a failure report.
    std::string recent() {
        std::lock_guard<std::mutex> guard(threadsLock);
        std::string text;
        for (const std::string& line : ring) text += "\n    " + line;
        return text;
    }

    std::string closingTag() const { return "companion-" + user + "-closing"; }
    std::set<std::thread::id> threads() {
        std::lock_guard<std::mutex> guard(threadsLock);
        return seen;
    }

    const std::string user;
    kra::ITraderApi* trader = nullptr;
    std::shared_mutex callLock;  // shared: a trading call; exclusive: release and what follows
    std::atomic<bool> loggedIn{false}, closingAnswered{false};
    std::atomic<bool> released{false};  // from the return of release to the next connect
    std::atomic<uint64_t> logins{0}, answers{0}, throws{0}, loopErrors{0}, heardWhileReleased{0};
    int placed = 0;  // the trading thread's

private:
    void note(std::string line) {
        std::lock_guard<std::mutex> guard(threadsLock);
        ring.push_back(std::move(line));
        if (ring.size() > 12) ring.pop_front();
    }
    // Every callback but logMessage comes from the network side here.
    void network() {
        if (released) ++heardWhileReleased;
        std::lock_guard<std::mutex> guard(threadsLock);
        seen.insert(std::this_thread::get_id());
    }
    void answered() {
        network();
        maybeThrow();
    }
    // One trader's callbacks never overlap: the generator needs no lock.
    void maybeThrow() {
        if (throwRate <= 0 || std::uniform_real_distribution<double>(0, 1)(rng) >= throwRate) return;
        ++throws;
        throw std::runtime_error("the companion's listener throws");
    }

    const double throwRate;
    std::mt19937_64 rng;
    std::mutex threadsLock;  // also guards ring
    std::set<std::thread::id> seen;
    std::deque<std::string> ring;
};

Companions::Companions(kra::CreateTraderFunc create, kra::DeleteTraderFunc destroy, std::string folder,
                       std::function<void(const char*, const std::function<void()>&)> guard,
                       std::function<void(const std::string&)> failed)
    : create(create), destroy(destroy), folder(std::move(folder)), guard(std::move(guard)), failed(std::move(failed)) {}

Companions::~Companions() {
    stopTrading();
    for (auto& m : members)
        if (m->trader != nullptr) destroy(m->trader);
}

void Companions::start(uint16_t serverPort) {
    port = serverPort;
    for (int i = 0; i < COUNT; ++i) {
        members.push_back(std::make_unique<Member>(i, i == 1 ? THROW_RATE : 0));
        Member& m = *members.back();
        m.trader = create();
        if (m.trader == nullptr) failed("createTrader returned null for a companion");
        guard("companion init and connect", [&] {
            m.configure(port, folder);
            m.trader->connect();
        });
    }
    for (auto& m : members) traders.emplace_back([this, &m] { trade(*m); });
}

void Companions::trade(Member& m) {
    kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 1, 3500.0);
    entrust->exchange = "CFFEX";
    entrust->priceType = '2';
    entrust->timeCondition = '3';
    entrust->offsetType = '0';
    while (!stopping) {
        {
            std::shared_lock<std::shared_mutex> calling(m.callLock);
            if (m.loggedIn) {
                const int n = ++m.placed;
                if (n % 3 == 0) {
                    guard("companion queryAccount", [&] { m.trader->queryAccount(); });
                } else {
                    entrust->direction = n % 2 == 0 ? '0' : '1';
                    entrust->userTag = "companion-" + m.user + "-" + std::to_string(n);
                    guard("companion orderInsert", [&] { m.trader->orderInsert(entrust); });
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    entrust->release();
}

void Companions::releaseOne() {
    Member& m = *members[COUNT - 1];
    std::unique_lock<std::shared_mutex> alone(m.callLock);
    guard("companion release from another thread", [&] { m.trader->release(); });
    m.released = true;
    m.loggedIn = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // anything late would come now
    m.released = false;
    guard("companion init and connect after release", [&] {
        m.configure(port, folder);
        m.trader->connect();
    });
}

void Companions::stopTrading() {
    stopping = true;
    for (std::thread& t : traders) t.join();
    traders.clear();
}

std::string Companions::finish(uint16_t serverPort) {
    stopTrading();
    std::set<std::thread::id> threads;
    uint64_t logins = 0, answers = 0, throws = 0;
    for (auto& m : members) {
        if (serverPort != port) {
            // The simulator moved: configure the companion for it.
            guard("companion init and connect", [&] {
                m->configure(serverPort, folder);
                m->trader->connect();
            });
        }
        if (!waitUntil([&] { return m->loggedIn.load(); }))
            failed("companion " + m->user + " did not log in again after the chaos; its last events and lines:" +
                   m->recent());
        kra::NXSEntrust* entrust = kra::NXSEntrust::create("IF2412", 1, 3500.0);
        entrust->exchange = "CFFEX";
        entrust->direction = '0';
        entrust->priceType = '2';
        entrust->timeCondition = '3';
        entrust->offsetType = '0';
        entrust->userTag = m->closingTag();
        guard("companion closing orderInsert", [&] { m->trader->orderInsert(entrust); });
        entrust->release();
        if (!waitUntil([&] { return m->closingAnswered.load(); }))
            failed("companion " + m->user + ": its closing order got no answer; its last events and lines:" +
                   m->recent());
    }
    for (auto& m : members) {
        guard("companion release", [&] { m->trader->release(); });
        destroy(m->trader);
        if (m->loopErrors != m->throws)
            failed("companion " + m->user + ": its listener threw " + std::to_string(m->throws.load()) +
                   " times, the module wrote " + std::to_string(m->loopErrors.load()) + " loop-error lines");
        if (m->heardWhileReleased != 0)
            failed("companion " + m->user + ": " + std::to_string(m->heardWhileReleased.load()) +
                   " callbacks came after its release had returned");
        const std::set<std::thread::id> seen = m->threads();
        threads.insert(seen.begin(), seen.end());
        logins += m->logins;
        answers += m->answers;
        throws += m->throws;
    }
    members.clear();
    if (threads.size() != 1)
        failed("the companions' callbacks came from " + std::to_string(threads.size()) +
               " threads, not from their one pool thread");
    return "companions on the pool thread: logins " + std::to_string(logins) + ", order answers " +
           std::to_string(answers) + ", listener throws " + std::to_string(throws) +
           " (one loop-error line each), one released from another thread while the others traded";
}

}  // namespace hvr::soak
