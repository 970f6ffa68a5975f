// One trader made by the module, with everything a Python host keeps beside
// it: the session core (common/SessionCore.h) as its listener, the contract
// catalog, the event queue and the sink to Python. The Python class
// traderhvr._core.Host wraps it; traderhvr.Trader is built on that. The
// session's logic is the core's; this class only joins it to Python.
//
// Threads: every operation may be called from any Python thread, with the GIL
// released (the bindings release it), also from inside a callback, except
// the waits and the close: they wait for what the module's network thread
// delivers, so they refuse to run inside a listener call.
//
// Forks: a process forked from the one that made the trader shares its socket
// but not its network thread. There the host is abandoned (abandon(), or
// found out by its process id): every call refuses, and close() and the
// owner leave the trader alone, since a logout would go out on the parent's
// connection and release would wait for a thread the child does not have.
//
// Closing, in steps the bindings run between checks for signals:
// beginClose() refuses new calls and waits for calls in progress;
// waitAnswers() waits for the answers of requests already sent; finishAnswers()
// says what is still unanswered; release() releases and deletes the trader,
// then closes the queue. close() does all of it at once. Python owns a
// TraderHost through HostDeleter, which never destroys one inside a listener
// call and never waits for the network thread holding the GIL. Members are
// declared in the order they must outlive one another: the catalog, queue,
// sink and observer outlive the core, which outlives the trader.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/SessionCore.h"
#include "host/SimpleContractCatalog.h"
#include "python/src/CallGate.h"
#include "python/src/EventQueue.h"
#include "python/src/PythonDispatch.h"

namespace hvr::tools {
class TraderModule;
}

namespace hvr::python {

struct CatalogEntry {
    std::string code;
    uint32_t multiplier = 1;
    std::string currency = "CNY";
    std::string exchange;
};

struct TraderSettings {
    std::string host;
    int port = 0;
    std::string folder;
    int pushMode = 0;
    int peerTimeout = 0;  // seconds; 0 = no dead-peer detection
    std::string threads = "own";  // "shared": the module's pool of network threads
    int poolThreads = 0;          // the pool's threads if this trader makes it; 0 = one per CPU
};

// Hands the core's events to Python: the callbacks first, then the queue, so
// an event read from the queue has had its callback.
class PythonObserver final : public tools::SessionObserver {
public:
    PythonObserver(EventQueue& queue, PythonDispatch& sink, bool queueEvents)
        : queue(queue), sink(sink), queueEvents(queueEvents) {}
    void onSessionEvent(const tools::SessionEvent& event, std::chrono::system_clock::time_point received) override;

private:
    EventQueue& queue;
    PythonDispatch& sink;
    const bool queueEvents;
};

class TraderHost {
public:
    // Loads the module (ModuleRegistry.h), makes a trader and registers the
    // core as its listener with a catalog of the given instruments, or with
    // no catalog at all when there is none (the module then leaves positions
    // out with a warning instead of silently). Throws std::runtime_error when
    // the module cannot be loaded.
    // reconcile: compare the book with the server after every login.
    TraderHost(const std::string& modulePath, const std::optional<std::vector<CatalogEntry>>& catalog,
               bool queueEvents, bool reconcile);
    ~TraderHost();
    TraderHost(const TraderHost&) = delete;
    TraderHost& operator=(const TraderHost&) = delete;

    // init with these settings, then connect. The module throws on a host
    // that is not a numeric address or a folder it cannot create.
    void connect(const TraderSettings& settings);
    // Stops the connection and the reconnects, and forgets the login.
    void disconnect();
    tools::LoginDecision::Kind login(const std::string& user, const std::string& password, const std::string& resource);
    tools::SendResult insert(const tools::OrderTicket& ticket);
    tools::SendResult cancel(const std::string& orderId);
    tools::SendResult query(tools::QueryKind kind);
    // Starts a reconciliation; none when nobody is logged in.
    std::optional<uint64_t> reconcile();
    // Its result, once finished; none when `wait` passed first.
    std::optional<tools::ReconcileResult> waitReconciled(uint64_t id, std::chrono::milliseconds wait);
    tools::LoginStatus waitLoggedIn(std::chrono::milliseconds wait) { return core.waitLoggedIn(wait); }

    const tools::SessionCore& session() const { return core; }
    bool isClosed() const { return gate.isClosed(); }

    EventQueue& events() { return queue; }
    PythonDispatch& dispatch() { return sink; }

    // Closing in steps (see the class comment). beginClose is false when the
    // host was closed already (then skip the rest). waitAnswers is true once
    // nothing is awaited (or the connection is down).
    bool beginClose();
    bool waitAnswers(std::chrono::milliseconds wait);
    tools::Unanswered finishAnswers();
    void release();
    // All steps at once, waiting up to `bound` for answers. Idempotent.
    // Throws std::logic_error when called inside a listener call. Does
    // nothing in a forked child.
    tools::Unanswered close(std::chrono::milliseconds bound);

    // Marks the host as a forked child's copy: from now on every call throws
    // and nothing is released. Takes no lock (one may have been held by a
    // thread the fork left behind). Any thread, also in the child right
    // after fork.
    void abandon() { abandoned.store(true); }
    // True in a process other than the one that made the host, or after
    // abandon().
    bool isAbandoned() const;

private:
    // The trader, or throws std::runtime_error when the host is closed.
    kra::ITraderApi& admitted(const GateTicket& ticket) const;

    kra::SimpleContractCatalog catalog;
    EventQueue queue;
    PythonDispatch sink;
    PythonObserver observer;
    tools::SessionCore core;
    CallGate gate;
    std::mutex closeLock;  // one close at a time
    const tools::TraderModule& module;
    kra::ITraderApi* trader = nullptr;  // null once closed
    const pid_t ownerPid;               // the process that made the trader
    std::atomic<bool> abandoned{false};
};

// The owner Python uses (the holder of traderhvr._core.Host). Called with the
// GIL held: drops the Python references, then closes and deletes the host
// with the GIL released, or on a thread of its own when called inside a
// listener call (the last reference to a Trader dropped by a callback).
struct HostDeleter {
    void operator()(TraderHost* host) const;
};

}  // namespace hvr::python
