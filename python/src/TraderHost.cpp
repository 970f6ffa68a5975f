#include "python/src/TraderHost.h"

#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "host/NXSConfigNode.h"
#include "python/src/ModuleRegistry.h"

namespace hvr::python {

namespace {

kra::SimpleContractCatalog makeCatalog(const std::optional<std::vector<CatalogEntry>>& entries) {
    kra::SimpleContractCatalog catalog;
    if (!entries) return catalog;
    for (const CatalogEntry& entry : *entries)
        catalog.addInstrument(entry.code, entry.multiplier, entry.currency, entry.exchange);
    return catalog;
}

}  // namespace

TraderHost::TraderHost(const std::string& modulePath, const std::optional<std::vector<CatalogEntry>>& entries,
                       bool queueEvents, bool reconcile)
    : catalog(makeCatalog(entries)),
      listener(queue, sink, entries ? &catalog : nullptr, queueEvents, reconcile),
      module(loadTraderModule(modulePath)),
      ownerPid(::getpid()) {
    trader = module.createTrader();
    if (trader == nullptr) throw std::runtime_error("the trader module made no trader");
    listener.attach(trader);
    trader->registerListener(&listener);
}

TraderHost::~TraderHost() {
    try {
        close();
    } catch (const std::exception&) {
        // Inside a listener call: the owner (HostDeleter) never lets that happen.
    }
}

bool TraderHost::isAbandoned() const { return abandoned.load() || ::getpid() != ownerPid; }

kra::ITraderApi& TraderHost::admitted(const GateTicket& ticket) const {
    if (isAbandoned())
        throw std::runtime_error("the trader belongs to the process that made it; a forked process cannot use it");
    if (!ticket || trader == nullptr) throw std::runtime_error("the trader is closed");
    return *trader;
}

void TraderHost::connect(const TraderSettings& settings) {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    kra::NXSMapNode config;
    config.set("host", settings.host)
        .set("port", std::to_string(settings.port))
        .set("folder", settings.folder)
        .set("pushmode", std::to_string(settings.pushMode))
        .set("peertimeout", std::to_string(settings.peerTimeout));
    api.init(&config);
    api.connect();
}

void TraderHost::disconnect() {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    listener.forgetLogin();
    api.disconnect();
}

void TraderHost::login(const std::string& user, const std::string& password, const std::string& resource) {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    if (listener.rememberLogin(Credentials{user, password, resource}))
        api.login(user.c_str(), password.c_str(), resource.c_str());
}

std::string TraderHost::makeEntrustId() {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    char id[64] = {};
    if (!api.makeEntrustId(id, sizeof id)) throw std::runtime_error("the trader cannot make an entrust id");
    return id;
}

std::pair<int, std::string> TraderHost::insert(const OrderTicket& ticket) {
    GateTicket admission(gate);
    kra::ITraderApi& api = admitted(admission);
    kra::NXSEntrust* entrust = kra::NXSEntrust::create(ticket.code.c_str(), ticket.volume, ticket.price);
    entrust->direction = ticket.direction;
    entrust->priceType = ticket.priceType;
    entrust->timeCondition = ticket.timeCondition;
    entrust->offsetType = ticket.offsetType;
    entrust->userTag = ticket.tag;
    ErrorLogCapture capture;
    const int rc = api.orderInsert(entrust);
    entrust->release();
    return {rc, rc == 0 ? std::string() : capture.text()};
}

int TraderHost::cancel(const std::string& orderId) {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    kra::NXSOrderAction* action = kra::NXSOrderAction::create();
    action->actionFlag = kra::ACTION_FLAG_CANCEL;
    action->orderId = orderId;
    // Noted before the call: the refusal may arrive before the call returns.
    listener.noteCancel(orderId);
    const int rc = api.orderCancel(action);
    action->release();
    if (rc != 0) listener.withdrawCancel();
    return rc;
}

int TraderHost::query(QueryKind kind) {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    switch (kind) {
        case QueryKind::Account: return api.queryAccount();
        case QueryKind::Positions: return api.queryPositions();
        case QueryKind::Orders: return listener.query(api, tools::Reconciler::Answer::Orders);
        case QueryKind::Trades: return listener.query(api, tools::Reconciler::Answer::Trades);
    }
    return -1;
}

uint64_t TraderHost::reconcile() {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    return listener.reconcile(api);
}

std::optional<tools::ReconcileResult> TraderHost::waitReconciled(uint64_t id, std::chrono::milliseconds wait) {
    if (HostListener::insideCallback())
        throw std::logic_error("reconcile() cannot wait inside a callback: the answers arrive on the thread that "
                               "runs the callback");
    return listener.waitReconciled(id, wait);
}

void TraderHost::close() {
    if (isAbandoned()) return;  // the trader is the parent's to release
    if (HostListener::insideCallback())
        throw std::logic_error("close() cannot be called from inside a callback: it waits for the thread "
                               "that runs the callback");
    std::lock_guard<std::mutex> hold(closeLock);
    if (trader == nullptr) return;
    gate.closeAndWait();
    trader->release();
    module.deleteTrader(trader);  // sets trader to null
    sink.stop();
    queue.close();
}

void HostDeleter::operator()(TraderHost* host) const {
    if (host->isAbandoned()) {
        // A forked child's copy: the trader, its listener and catalog are the
        // parent's, mirrored. Destroying any of them here could take a lock a
        // vanished thread held; the copy goes with the child's memory.
        return;
    }
    // Python's references go now, while this thread holds the GIL; the
    // callbacks stop with them.
    host->dispatch().clear();
    if (HostListener::insideCallback()) {
        // The last reference went inside a callback: releasing here would wait
        // for this very thread, and destroying the listener under the running
        // module would leave it a dangling pointer. Another thread does both
        // once the callback has returned.
        std::thread([host] { delete host; }).detach();
        return;
    }
    {
        pybind11::gil_scoped_release release;
        host->close();
    }
    delete host;
}

}  // namespace hvr::python
