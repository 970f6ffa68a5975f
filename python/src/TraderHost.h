// One trader made by the module, with everything a host keeps beside it: the
// listener, the contract catalog, the event queue and the sink to Python. The
// Python class traderhvr._core.Host wraps it; traderhvr.Trader is built on
// that.
//
// Threads: every operation may be called from any Python thread, with the GIL
// released (the bindings release it), also from inside a callback, except
// close(): it releases the trader, which waits for the module's network
// thread, so it refuses to run inside a listener call.
//
// Forks: a process forked from the one that made the trader shares its socket
// but not its network thread. There the host is abandoned (abandon(), or
// found out by its process id): every call refuses, and close() and the
// owner leave the trader alone, since a logout would go out on the parent's
// connection and release would wait for a thread the child does not have.
//
// Lifetime: close() (or the destructor) refuses new calls, waits for calls in
// progress, releases and deletes the trader, then closes the queue. Python
// owns a TraderHost through HostDeleter, which never destroys one inside a
// listener call and never waits for the network thread holding the GIL. Members
// are declared in the order they must outlive one another: the catalog, queue
// and sink outlive the listener, which outlives the trader.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/SimpleContractCatalog.h"
#include "python/src/CallGate.h"
#include "python/src/EventQueue.h"
#include "python/src/HostListener.h"
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
};

// An order as the host enters it; codes are the module's character values.
struct OrderTicket {
    std::string code;
    uint32_t volume = 0;
    double price = 0.0;
    uint32_t direction = '0';
    uint32_t priceType = '2';
    uint32_t timeCondition = '3';
    uint32_t offsetType = '0';
    std::string tag;
};

enum class QueryKind { Account, Positions, Orders, Trades };

class TraderHost {
public:
    // Loads the module (ModuleRegistry.h), makes a trader and registers the
    // listener with a catalog of the given instruments, or with no catalog at
    // all when there is none (the module then leaves positions out with a
    // warning instead of silently). Throws std::runtime_error when the module
    // cannot be loaded.
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
    // Sends the login now when connected; otherwise at the next connect. Every
    // later connect logs in again with these credentials.
    void login(const std::string& user, const std::string& password, const std::string& resource);
    std::string makeEntrustId();
    // The module's result (0 sent, -1 refused locally) and, when refused, the
    // error lines it logged meanwhile.
    std::pair<int, std::string> insert(const OrderTicket& ticket);
    int cancel(const std::string& orderId);
    int query(QueryKind kind);
    // Starts a reconciliation of the book with the server; returns its id.
    uint64_t reconcile();
    // Its result, once finished; none when `wait` passed first. Throws
    // std::logic_error inside a listener call (the answers it waits for
    // arrive on that very thread).
    std::optional<tools::ReconcileResult> waitReconciled(uint64_t id, std::chrono::milliseconds wait);
    BookSnapshot book() const { return listener.book(); }

    bool isConnected() const { return listener.isConnected(); }
    bool isLoggedIn() const { return listener.isLoggedIn(); }
    bool isClosed() const { return gate.isClosed(); }

    EventQueue& events() { return queue; }
    PythonDispatch& dispatch() { return sink; }

    // Releases and deletes the trader. Idempotent. Throws std::logic_error
    // when called inside a listener call. Does nothing in a forked child.
    void close();

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
    HostListener listener;
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
