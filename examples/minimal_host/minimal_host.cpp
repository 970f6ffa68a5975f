// The smallest complete host: load the module, connect, log in, place one
// limit order, print the answer and the pushes, release.
//   minimal_host HOST PORT [USER PASSWORD]      (the simulator's demo/demo by default)
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <traderhvr/ITraderApi.h>
#include <traderhvr/LogText.h>

// Callbacks arrive on the module's network thread; main waits for `step`.
struct Listener : kra::ITraderListener {
    std::mutex lock;
    std::condition_variable changed;
    int step = 0;  // 1 connected, 2 logged in, 3 answered, 4 order finished; -1 failed
    void reach(int s) {  // steps only go forward; a failure is final
        { std::lock_guard<std::mutex> g(lock); if (step >= 0) step = s < 0 ? s : std::max(step, s); }
        changed.notify_all();
    }
    bool waitFor(int s) {  // false on a failure or after five seconds
        std::unique_lock<std::mutex> g(lock);
        changed.wait_for(g, std::chrono::seconds(5), [&] { return step >= s || step < 0; });
        return step >= s;
    }
    void onTraderEvent(int kind, int code) override {
        std::printf("event kind %d code %d\n", kind, code);
        if (kind == kra::TRADER_EVENT_CONNECT) reach(code == kra::TRADER_CODE_OK ? 1 : -1);
    }
    void onLoginResult(bool ok, const char*, uint32_t date) override {
        std::printf("login %s, trading date %u\n", ok ? "ok" : "refused", date);
        reach(ok ? 2 : -1);
    }
    void onEntrustAnswer(kra::NXSEntrust* e, kra::NXSError* error) override {
        std::printf("answer: order %s %s\n", e->entrustId.c_str(), error ? "refused" : "accepted");
        reach(error ? -1 : 3);
    }
    void onOrderPush(kra::NXSOrderInfo* o) override {
        std::printf("order push: order %s state %c traded %u left %u\n", o->orderId.c_str(),
                    static_cast<char>(o->orderState), o->tradedVolume, o->leftVolume);
        if (kra::isFinalOrderState(o->orderState)) reach(4);  // filled, cancelled, ...
    }
    void onTradePush(kra::NXSTradeInfo* t) override {
        std::printf("trade push: trade %s %u @ %g\n", t->tradeId.c_str(), t->volume, t->price);
    }
    // Queries and cancels are not used here.
    void onAccountAnswer(kra::NXSArray*) override {}
    void onPositionsAnswer(kra::NXSArray*) override {}
    void onOrdersAnswer(kra::NXSArray*) override {}
    void onTradesAnswer(kra::NXSArray*) override {}
    void onTraderError(kra::NXSError*) override {}
    kra::IContractCatalog* getContractCatalog() override { return nullptr; }
    void logMessage(int level, const char* format, ...) override {  // printf-style, GBK: printed as UTF-8
        va_list args;
        va_start(args, format);
        const std::string line = kra::logMessageText(format, args);
        va_end(args);
        std::printf("log %d: %s\n", level, line.c_str());
    }
};

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) return std::fprintf(stderr, "usage: minimal_host HOST PORT [USER PASSWORD]\n"), 2;
    Listener listener;
    // -- host snippet begins --
    void* lib = dlopen(TRADERHVR_MODULE, RTLD_NOW | RTLD_LOCAL);  // full path from find_package
    if (lib == nullptr) return std::fprintf(stderr, "%s\n", dlerror()), 1;
    auto create = reinterpret_cast<kra::CreateTraderFunc>(dlsym(lib, "createTrader"));
    auto destroy = reinterpret_cast<kra::DeleteTraderFunc>(dlsym(lib, "deleteTrader"));

    kra::ITraderApi* trader = create();
    kra::NXSMapNode config;
    config.set("host", argv[1])         // numeric IPv4 or IPv6: resolve names first
        .set("port", argv[2])
        .set("folder", "./flow/")      // prefix of <user>.flow: end it with '/'
        .set("pushmode", "0");         // 0 resume from the file, 1 new pushes only, 2 replay the day
    std::string refused;               // init throws std::runtime_error on a host name
    try {                              // or a folder it cannot create
        trader->init(&config);
    } catch (const std::exception& e) {
        refused = e.what();            // the exception's code is the module's: end the
    }                                  // catch before dlclose
    if (!refused.empty()) {
        std::fprintf(stderr, "init: %s\n", refused.c_str());
        destroy(trader);
        dlclose(lib);
        return 1;
    }
    trader->registerListener(&listener);
    trader->connect();                 // the outcome arrives as onTraderEvent(0, code)
    bool ok = listener.waitFor(1);
    if (ok) trader->login(argc == 5 ? argv[3] : "demo", argc == 5 ? argv[4] : "demo", "minimal_host");
    ok = ok && listener.waitFor(2);
    if (ok) {
        char tag[64];
        trader->makeEntrustId(tag, sizeof tag);
        kra::NXSEntrust* order = kra::NXSEntrust::create("IF2412", 1, 3500.0);
        order->priceType = kra::PRICE_TYPE_LIMIT;  // the default is any price: a market order
        order->direction = kra::DIRECTION_LONG;    // buy
        order->offsetType = kra::OFFSET_OPEN;
        order->userTag = tag;
        // REQUEST_QUEUED, or REQUEST_REFUSED for a price that is not a number
        ok = trader->orderInsert(order) == kra::REQUEST_QUEUED;  // reads the entrust during the call only
        order->release();
        ok = ok && listener.waitFor(4);  // the answer, then the pushes up to the fill
    }
    trader->release();                  // logout, close, wait for the network thread
    destroy(trader);                    // sets trader to null
    dlclose(lib);
    // -- host snippet ends --
    std::printf("%s\n", ok ? "done" : "failed");
    return ok ? 0 : 1;
}
