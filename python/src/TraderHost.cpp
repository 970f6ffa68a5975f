#include "python/src/TraderHost.h"

#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "host/NXSConfigNode.h"
#include "python/src/EventToPython.h"
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

void PythonObserver::onSessionEvent(const tools::SessionEvent& payload, std::chrono::system_clock::time_point received) {
    if (!reachesPython(payload)) return;
    const auto since = received.time_since_epoch();
    Event event{payload, std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()};
    // Callbacks first: a reader that takes an event from the queue knows its
    // callback has returned.
    sink.deliver(event);
    if (queueEvents) queue.push(std::move(event));
}

TraderHost::TraderHost(const std::string& modulePath, const std::optional<std::vector<CatalogEntry>>& entries,
                       bool queueEvents, bool reconcile)
    : catalog(makeCatalog(entries)),
      observer(queue, sink, queueEvents),
      core(observer, entries ? &catalog : nullptr, reconcile),
      module(loadTraderModule(modulePath)),
      ownerPid(::getpid()) {
    trader = module.createTrader();
    if (trader == nullptr) throw std::runtime_error("the trader module made no trader");
    core.attach(trader);
    trader->registerListener(&core);
}

TraderHost::~TraderHost() {
    try {
        close(std::chrono::milliseconds(0));
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
    if (settings.threads == "shared")
        config.set("threads", "shared").set("poolthreads", std::to_string(settings.poolThreads));
    api.init(&config);
    api.connect();
}

void TraderHost::disconnect() {
    GateTicket ticket(gate);
    kra::ITraderApi& api = admitted(ticket);
    core.forgetLogin();
    api.disconnect();
}

tools::LoginDecision::Kind TraderHost::login(const std::string& user, const std::string& password,
                                             const std::string& resource) {
    GateTicket ticket(gate);
    admitted(ticket);
    return core.login(tools::Credentials{user, password, resource});
}

tools::SendResult TraderHost::insert(const tools::OrderTicket& order) {
    GateTicket ticket(gate);
    admitted(ticket);
    return core.insert(order);
}

tools::SendResult TraderHost::cancel(const std::string& orderId) {
    GateTicket ticket(gate);
    admitted(ticket);
    return core.cancel(orderId);
}

tools::SendResult TraderHost::query(tools::QueryKind kind) {
    GateTicket ticket(gate);
    admitted(ticket);
    return core.query(kind);
}

std::optional<uint64_t> TraderHost::reconcile() {
    GateTicket ticket(gate);
    admitted(ticket);
    return core.reconcile(true);
}

std::optional<tools::ReconcileResult> TraderHost::waitReconciled(uint64_t id, std::chrono::milliseconds wait) {
    core.waitUntil([id](const tools::SessionState& s) { return s.reconcileFinished(id); }, wait);
    return core.takeResult(id);
}

bool TraderHost::beginClose() {
    if (isAbandoned()) return false;  // the trader is the parent's to release
    if (tools::SessionCore::insideCallback())
        throw std::logic_error("close() cannot be called from inside a callback: it waits for the thread "
                               "that runs the callback");
    std::lock_guard<std::mutex> hold(closeLock);
    if (trader == nullptr) return false;
    return gate.closeAndWait();
}

bool TraderHost::waitAnswers(std::chrono::milliseconds wait) {
    return core.waitUntil([](const tools::SessionState& s) { return !s.connected() || !s.answersAwaited(); }, wait);
}

tools::Unanswered TraderHost::finishAnswers() { return core.finish(std::chrono::milliseconds(0)); }

void TraderHost::release() {
    std::lock_guard<std::mutex> hold(closeLock);
    if (trader == nullptr) return;
    trader->release();
    core.attach(nullptr);
    module.deleteTrader(trader);  // sets trader to null
    sink.stop();
    queue.close();
}

tools::Unanswered TraderHost::close(std::chrono::milliseconds bound) {
    if (!beginClose()) return {};
    waitAnswers(bound);
    tools::Unanswered unanswered = finishAnswers();
    release();
    return unanswered;
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
    if (tools::SessionCore::insideCallback()) {
        // The last reference went inside a callback: releasing here would wait
        // for this very thread, and destroying the core under the running
        // module would leave it a dangling pointer. Another thread does both
        // once the callback has returned.
        std::thread([host] { delete host; }).detach();
        return;
    }
    {
        pybind11::gil_scoped_release release;
        host->close(std::chrono::milliseconds(0));
    }
    delete host;
}

}  // namespace hvr::python
